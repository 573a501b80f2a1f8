// Multi-turn Gemini edits against the emulator's direct mode, which signs its answers and checks
// the signatures on the way back: three turns, a saved conversation continued, and tampered ones
// refused (before sending when the client can tell).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel {
namespace {

using host::ErrorCode;
using image::tavelin::Conversation;
using image::tavelin::GenerationRequest;
using image::tavelin::TavelinaClient;
using json = nlohmann::ordered_json;

class Conversations : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = test_support::make_canary_key();
    dir_ = std::filesystem::temp_directory_path() / ("zantrel-turns-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_ / "images");
    emulator::EmulatorOptions options;
    options.api_key = key_;
    options.dialect = emulator::AcceptedDialect::kDirect;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }
  void TearDown() override {
    EXPECT_EQ(test_support::leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  TavelinaClient client() const {
    image::tavelin::TavelinaOptions options;
    options.dialect = host::Dialect::kDirect;
    return TavelinaClient(emulator_->base_url(), key_, options);
  }

  // Three turns from nothing; each image unlike the one before.
  Conversation three_turns() {
    Conversation conversation;
    std::optional<host::Bytes> before;
    int turn = 0;
    for (const char* prompt : {"a fox in a meadow", "now make it night", "move the fox left"}) {
      ++turn;
      host::CallReport report;
      host::CallOptions options;
      options.report = &report;
      const auto result =
          client().continue_with(conversation, {.prompt = prompt, .aspect_ratio = "1:1"}, options);
      EXPECT_TRUE(result.ok()) << prompt << ": " << result.msg().value_or("");
      if (!result.ok()) return conversation;
      EXPECT_EQ(report.turn, turn);
      EXPECT_EQ(conversation.exchanges(), static_cast<std::size_t>(turn));
      if (before) {
        EXPECT_NE(*result.bytes(), *before) << prompt << ": a new picture";
      }
      before = *result.bytes();
    }
    return conversation;
  }

  std::string key_;
  std::filesystem::path dir_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(Conversations, ThreeTurnsSendEverySignatureBackAndASavedOneContinues) {
  Conversation conversation = three_turns();
  ASSERT_EQ(conversation.turns().size(), 6u);
  // The model's turns as answered: its text and image, both signed; the user's as sent.
  for (const host::ConversationTurn& turn : conversation.turns()) {
    if (turn.role == "user") {
      EXPECT_TRUE(turn.parts.front().text);
      continue;
    }
    ASSERT_EQ(turn.parts.size(), 2u);
    EXPECT_EQ(turn.parts[0].text, "Here is your picture.");
    EXPECT_TRUE(turn.parts[0].thought_signature);
    ASSERT_TRUE(turn.parts[1].image);
    EXPECT_TRUE(turn.parts[1].thought_signature);
  }

  // Saved with its images as files, read back, and continued.
  const json saved = conversation.to_json(dir_ / "images", dir_);
  EXPECT_LT(saved.dump().size(), 4096u) << "the images are files, not base64";
  Conversation reloaded = Conversation::from_json(saved, dir_);
  EXPECT_EQ(reloaded.to_json(), conversation.to_json()) << "the same conversation";
  const auto fourth =
      client().continue_with(reloaded, {.prompt = "add snow", .aspect_ratio = "1:1"});
  EXPECT_TRUE(fourth.ok()) << fourth.msg().value_or("");
  EXPECT_EQ(reloaded.exchanges(), 4u);
}

TEST_F(Conversations, ATamperedOneIsRefusedBeforeSendingWhenTheClientCanTell) {
  const Conversation conversation = three_turns();
  const json saved = conversation.to_json(dir_ / "images", dir_);
  const struct {
    const char* name;
    std::function<void(json&)> tamper;
    std::optional<ErrorCode> code;  // none: from_json refuses the document
    std::string message;
    bool sent;
  } cases[] = {
      {"a signature dropped", [](json& d) { d["turns"][3]["parts"][1].erase("thoughtSignature"); },
       ErrorCode::INVALID_PARAMS,
       "Image part is missing a thought_signature in content position 4, part position 2.", false},
      {"a signature altered",
       [](json& d) { d["turns"][1]["parts"][1]["thoughtSignature"] = "c2lnbmVkIGJ5IG5vYm9keQ=="; },
       ErrorCode::IMAGE_GENERATE_FAIL,
       "Thought signature is not valid in content position 2, part position 2.", true},
      {"an image file changed",
       [this](json& d) {
         const std::string file = d["turns"][1]["parts"][1]["image"]["file"];
         std::ofstream(dir_ / file, std::ios::binary | std::ios::app) << "x";
       },
       std::nullopt, "has changed since it was saved", false},
      {"turns out of order", [](json& d) { d["turns"].erase(0); }, std::nullopt,
       "turns alternate, the user's first", false},
  };
  for (const auto& c : cases) {
    json document = saved;
    c.tamper(document);
    const auto requests = emulator_->requests();
    if (!c.code) {
      try {
        (void)Conversation::from_json(document, dir_);
        ADD_FAILURE() << c.name << ": read";
      } catch (const host::InvalidArgument& e) {
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << e.what();
      }
      // The file is put back for the next case.
      (void)conversation.to_json(dir_ / "images", dir_);
      continue;
    }
    Conversation tampered = Conversation::from_json(document, dir_);
    const auto result =
        client().continue_with(tampered, {.prompt = "again", .aspect_ratio = "1:1"});
    EXPECT_EQ(result.code(), c.code) << c.name;
    EXPECT_EQ(result.msg().value_or(""), c.message) << c.name;
    EXPECT_EQ(emulator_->requests() - requests, c.sent ? 1u : 0u) << c.name;
    EXPECT_EQ(tampered.exchanges(), 3u) << c.name << ": a failed turn adds nothing";
  }
}

// References uploaded to the Files API: each once across turns while it is kept, named by its
// link after that; a cut upload goes on from where it stopped; an expired file goes again.
TEST_F(Conversations, UploadedReferencesGoOnceAndComeBackWhenExpired) {
  // Pictures padded to 1 MiB (bytes after a PNG's end are ignored), larger than the model's.
  const auto padded = [](std::uint64_t seed) {
    host::Bytes png = emulator::render_png(seed, 256, 256);
    for (std::size_t at = png.size(); at < std::size_t{1} << 20; ++at) {
      png.push_back(static_cast<std::uint8_t>(at * 2654435761u >> 13));
    }
    return png;
  };
  const host::Bytes fox = padded(11), hat = padded(12);
  const auto expire_all = [](json& document) {
    for (json& turn : document["turns"]) {
      for (json& part : turn["parts"]) {
        if (part.contains("image") && part["image"].contains("uploaded")) {
          part["image"]["uploaded"]["expirationTime"] = "2026-01-01T00:00:00Z";
        }
      }
    }
  };
  const struct {
    const char* name;
    const char* scenario;
    int turns;
    std::function<void(json&)> between;  // done to the saved conversation after each turn
    std::uint64_t uploads;               // files the emulator took in all
    int resumes;
    std::string failure;  // the last turn's message, when it fails
  } cases[] = {
      {"kept: once for three turns", "normal", 3, nullptr, 2, 0, ""},
      {"a cut upload resumed", "upload-cut", 1, nullptr, 2, 2, ""},
      {"kept a second: again each turn", "file-ttl:1", 2, nullptr, 4, 0, ""},
      {"saved past its expiry: again", "normal", 2, expire_all, 4, 0, ""},
      {"gone at the service", "file-expired", 1, nullptr, 2, 0,
       "You do not have permission to access the File "},
  };
  for (const auto& c : cases) {
    emulator_->set_scenario(*emulator::Scenario::parse(c.scenario));
    const auto uploads = emulator_->file_uploads();
    Conversation conversation;
    int resumes = 0;
    for (int turn = 1; turn <= c.turns; ++turn) {
      host::CallReport report;
      host::CallOptions options;
      options.report = &report;
      GenerationRequest request{.prompt = "the fox wears the hat, turn " + std::to_string(turn),
                                .aspect_ratio = "1:1",
                                .files = std::vector<host::Reference>{fox, hat},
                                .upload_references = true};
      const auto result = client().continue_with(conversation, request, options);
      resumes += report.upload_resumes;
      if (!c.failure.empty() && turn == c.turns) {
        EXPECT_EQ(result.code(), ErrorCode::IMAGE_GENERATE_FAIL) << c.name;
        EXPECT_TRUE(result.msg().value_or("").starts_with(c.failure))
            << c.name << result.msg().value_or("");
        break;
      }
      ASSERT_TRUE(result.ok()) << c.name << ": " << result.msg().value_or("");
      // The references go by their links: the body is far smaller than they are.
      EXPECT_LT(*report.bytes_sent, fox.size() / 2) << c.name << ", turn " << turn;
      if (c.between) {
        json saved = conversation.to_json(dir_ / "images", dir_);
        c.between(saved);
        conversation = Conversation::from_json(saved, dir_);
      }
    }
    EXPECT_EQ(emulator_->file_uploads() - uploads, c.uploads) << c.name;
    EXPECT_EQ(resumes, c.resumes) << c.name;
    // The user's images are held once however many turns sent them.
    std::set<const host::Bytes*> held;
    for (const host::ConversationTurn& turn : conversation.turns()) {
      for (const host::ConversationPart& part : turn.parts) {
        if (turn.role == "user" && part.image) {
          held.insert(part.image.get());
          EXPECT_TRUE(part.file) << c.name << ": noted as uploaded";
        }
      }
    }
    EXPECT_LE(held.size(), 2u) << c.name;
  }
  emulator_->set_scenario({});
  // Without blocking, on the event thread: the same upload, then the call.
  const auto uploads = emulator_->file_uploads();
  host::CallReport report;
  host::CallOptions options;
  options.report = &report;
  const auto result = client()
                          .start_async({.prompt = "the fox alone",
                                        .aspect_ratio = "1:1",
                                        .files = std::vector<host::Reference>{fox},
                                        .upload_references = true},
                                       options)
                          .get();
  EXPECT_TRUE(result.ok()) << result.msg().value_or("");
  EXPECT_EQ(emulator_->file_uploads() - uploads, 1u);
  EXPECT_LT(*report.bytes_sent, fox.size() / 2);
}

// The command line: turns in separate processes through a saved file, then a chat session.
TEST_F(Conversations, ContinueInAnotherProcessAndChat) {
  const std::string saved = (dir_ / "fox.json").string();
  const std::vector<std::string> common = {
      "--base-url", emulator_->base_url(), "--api-key", key_, "--dialect",
      "direct",     "--aspect-ratio",      "1:1"};
  const auto run = [&](std::vector<std::string> argv, const std::string& input = {}) {
    argv.insert(argv.end(), common.begin(), common.end());
    const auto result = test_support::run_process(argv, std::nullopt, input);
    EXPECT_FALSE(test_support::leaks(result.out + result.err, key_));
    return result;
  };
  int turn = 0;
  for (const char* prompt : {"a fox in a meadow", "now make it night", "move the fox left"}) {
    ++turn;
    const std::string out = (dir_ / ("t" + std::to_string(turn) + ".png")).string();
    auto argv = std::vector<std::string>{ZANTREL_CLI_PATH,
                                         "gemini",
                                         "--prompt",
                                         prompt,
                                         "--out",
                                         out,
                                         turn == 1 ? "--save-turn" : "--continue",
                                         saved};
    const auto result = run(argv);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(result.out.starts_with("turn " + std::to_string(turn) + ": wrote " + out))
        << result.out;
  }
  std::ifstream in(saved);
  const json document = json::parse(in);
  EXPECT_EQ(document["turns"].size(), 6u);
  EXPECT_EQ(Conversation::from_json(document, dir_).exchanges(), 3u);

  const std::string chat_dir = (dir_ / "chat").string();
  const auto chat =
      run({ZANTREL_CLI_PATH, "chat", "--out-dir", chat_dir}, "a lighthouse\n\nmake it stormy\n");
  ASSERT_EQ(chat.status, 0) << chat.out << chat.err;
  EXPECT_NE(chat.out.find("turn 1: wrote " + chat_dir + "/turn-1.png"), std::string::npos)
      << chat.out;
  EXPECT_NE(chat.out.find("turn 2: wrote " + chat_dir + "/turn-2.png"), std::string::npos)
      << chat.out;
  std::ifstream chat_in(dir_ / "chat" / "conversation.json");
  EXPECT_EQ(json::parse(chat_in)["turns"].size(), 4u);
  // A reference for the whole session, uploaded by the first turn and named by the next.
  const std::string ref = (dir_ / "ref.png").string();
  const host::Bytes png = emulator::render_png(5, 64, 64);
  std::ofstream(ref, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  const auto uploads = emulator_->file_uploads();
  const auto with_ref = run({ZANTREL_CLI_PATH, "chat", "--out-dir", (dir_ / "refchat").string(),
                             "--ref", ref, "--upload-refs"},
                            "a hat\nmake it red\n");
  ASSERT_EQ(with_ref.status, 0) << with_ref.out << with_ref.err;
  EXPECT_NE(with_ref.out.find("1 reference uploaded ("), std::string::npos) << with_ref.out;
  EXPECT_EQ(emulator_->file_uploads() - uploads, 1u) << with_ref.out;
  // Options a turn can't take.
  EXPECT_EQ(
      run({ZANTREL_CLI_PATH, "gemini", "--prompt", "x", "--continue", saved, "-n", "2"}).status, 2);
  EXPECT_EQ(run({ZANTREL_CLI_PATH, "gemini", "--prompt", "x", "--continue",
                 (dir_ / "missing.json").string()})
                .status,
            2);
}

// Forced past the client's check, the service refuses a dropped signature with its own text.
TEST_F(Conversations, TheEmulatorRefusesAHistoryWithoutSignatures) {
  const std::string image = host::base64_encode(host::as_bytes("not checked"));
  const json body = {
      {"contents",
       {{{"role", "user"}, {"parts", {{{"text", "a fox"}}}}},
        {{"role", "model"},
         {"parts", {{{"inlineData", {{"mimeType", "image/png"}, {"data", image}}}}}}},
        {{"role", "user"}, {"parts", {{{"text", "at night"}}}}}}},
      {"generationConfig", {{"responseModalities", {"IMAGE"}}}}};
  host::PostRequest request;
  request.headers = {{"x-goog-api-key", key_}, {"Content-Type", "application/json"}};
  request.body = host::JsonBody::of(body.dump());
  host::CurlHttpClient http;
  const auto answer = http.post(
      emulator_->base_url() + "/v1beta/models/gemini-3-pro-image:generateContent", request);
  EXPECT_EQ(answer.status_code, 400);
  EXPECT_EQ(answer.json()["error"]["message"],
            "Image part is missing a thought_signature in content position 2, part position 1.");
  EXPECT_EQ(answer.json()["error"]["status"], "INVALID_ARGUMENT");
}

}  // namespace
}  // namespace zantrel
