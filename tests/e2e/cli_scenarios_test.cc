// The real zantrel-image binary and curl stack against the emulator, one row per scenario.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/cli/output/image_output.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/images/image_metadata.h"
#include "zantrel/host/references.h"

namespace zantrel::test_support {
namespace {

using json = nlohmann::json;

struct Row {
  const char* service;
  const char* scenario;
  std::vector<std::string> extra;  // more CLI options
  int status;
  const char* kind;  // "bytes", "link" or nullptr
  json code;         // null for success
  json msg;          // exact text or null
};

// The row as a command line, where ctest lists the parameter.
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.service << " at scenario " << row.scenario;
  for (const std::string& word : row.extra) *out << " " << word;
}

std::vector<Row> unstreamed_rows() {
  const json null;
  return {
      {"gemini", "normal", {}, 0, "bytes", null, null},
      {"gemini",
       "busy",
       {},
       1,
       nullptr,
       "SERVICE_BUSY",
       "Resource has been exhausted (e.g. check quota)."},
      {"gemini", "busy-text", {}, 1, nullptr, "SERVICE_BUSY", "service status_code: 429"},
      {"gemini", "status:503", {}, 1, nullptr, "IMAGE_GENERATE_FAIL", "emulated status 503"},
      {"gemini",
       "status-text:500",
       {},
       1,
       nullptr,
       "IMAGE_GENERATE_FAIL",
       "service status_code: 500"},
      {"gemini", "status-empty-error:400", {}, 1, nullptr, "IMAGE_GENERATE_FAIL", null},
      {"gemini", "not-json", {}, 1, nullptr, "SERVICE_BUSY", "JSONDecodeError error"},
      {"gemini", "empty-body", {}, 1, nullptr, "SERVICE_BUSY", "JSONDecodeError error"},
      {"gemini", "truncated-json", {}, 1, nullptr, "SERVICE_BUSY", "JSONDecodeError error"},
      {"gemini", "deep-json", {}, 1, nullptr, "SERVICE_BUSY", "JSONDecodeError error"},
      {"gemini",
       "finish:IMAGE_SAFETY",
       {},
       1,
       nullptr,
       "NO_IMAGE_RESULT",
       "Picture prohibition-IMAGE_SAFETY"},
      {"gemini",
       "finish:PROHIBITED_CONTENT",
       {},
       1,
       nullptr,
       "NO_IMAGE_RESULT",
       "Picture prohibition-IMAGE_SAFETY"},
      {"gemini", "finish:OTHER", {}, 1, nullptr, "NO_IMAGE_RESULT", "Picture prohibition-OTHER"},
      {"gemini", "finish:STOP", {}, 1, nullptr, "NO_IMAGE_RESULT", null},
      {"gemini", "no-image", {}, 1, nullptr, "NO_IMAGE_RESULT", null},
      {"gemini", "file-link", {}, 0, "bytes", null, null},
      {"gemini", "missing-link", {}, 1, "link", null, null},
      {"gemini", "bad-base64", {}, 1, nullptr, "SERVICE_BUSY", "Base64Error error"},
      {"gemini", "delay:2500", {"--timeout", "0.8"}, 1, nullptr, "SERVICE_TIMEOUT", null},
      {"gemini", "trickle:150", {"--timeout", "2"}, 0, "bytes", null, null},
      {"gemini", "large:3", {}, 0, "bytes", null, null},
      {"gemini", "small-delay:10", {}, 0, "bytes", null, null},
      {"gemini", "reset", {}, 1, nullptr, "SERVICE_BUSY", "ConnectionError error"},
      {"gemini", "truncated", {}, 1, nullptr, "SERVICE_BUSY", "ConnectionError error"},
      {"gemini", "oversized:300", {}, 1, nullptr, "SERVICE_BUSY", "ResponseTooLarge error"},
      {"gemini", "redirect", {}, 1, nullptr, "IMAGE_GENERATE_FAIL", "service status_code: 302"},
      {"gemini",
       "normal",
       {"--aspect-ratio", "7:3"},
       1,
       nullptr,
       "INVALID_PARAMS",
       "Invalid aspect_ratio: 7:3"},
      {"gemini",
       "normal",
       {"--model", "gemini-0"},
       1,
       nullptr,
       "INVALID_PARAMS",
       "Invalid model: gemini-0"},
      {"images", "normal", {}, 0, "bytes", null, null},
      {"images", "normal", {"--response-format", "url"}, 0, "bytes", null, null},
      {"images",
       "normal",
       {"--aspect-ratio", "16:9", "--image-size", "2k"},
       0,
       "bytes",
       null,
       null},
      {"images", "data-link", {}, 0, "bytes", null, null},
      {"images", "large:3", {}, 0, "bytes", null, null},
      {"images",
       "busy",
       {},
       1,
       nullptr,
       "IMAGE_GENERATE_FAIL",
       "Rate limit reached for images per minute. Please try again in 20s."},
      {"images",
       "status-text:503",
       {},
       1,
       nullptr,
       "IMAGE_GENERATE_FAIL",
       "service status_code: 503"},
      {"images", "status-empty-error:500", {}, 1, nullptr, "IMAGE_GENERATE_FAIL", null},
      {"images", "not-json", {}, 1, nullptr, "SERVICE_BUSY", null},
      {"images", "no-image", {}, 1, nullptr, "NO_IMAGE_RESULT", null},
      {"images", "missing-link", {}, 1, nullptr, "NO_IMAGE_RESULT", null},
      {"images", "bad-base64", {}, 1, nullptr, "SERVICE_BUSY", null},
      {"images", "delay:2500", {"--timeout", "0.8"}, 1, nullptr, "SERVICE_TIMEOUT", null},
      {"images", "reset", {}, 1, nullptr, "SERVICE_BUSY", null},
      {"images", "oversized:300", {}, 1, nullptr, "SERVICE_BUSY", null},
      {"images", "normal", {"--aspect-ratio", "5:1"}, 1, nullptr, "SERVICE_BUSY", null},
  };
}

// The rows above again with --stream give the same outcomes (a service that answers a streamed
// request whole included), and the stream's own faults theirs.
std::vector<Row> rows() {
  const json null;
  std::vector<Row> out = unstreamed_rows();
  const std::set<std::string_view> streamed = {"normal",    "busy",           "finish:IMAGE_SAFETY",
                                               "file-link", "missing-link",   "bad-base64",
                                               "not-json",  "truncated-json", "no-image",
                                               "large:3",   "reset"};
  for (Row row : unstreamed_rows()) {
    if (!row.extra.empty() || !streamed.contains(row.scenario)) continue;
    // The images API streams base64 only: it has no links to stream.
    if (std::string_view(row.service) == "images" && row.scenario == std::string("missing-link")) {
      continue;
    }
    row.extra = {"--stream"};
    if (std::string_view(row.service) == "images") {
      row.extra.insert(row.extra.end(), {"--partial-images", "2"});
    }
    out.push_back(std::move(row));
  }
  const std::vector<std::string> images_stream = {"--stream", "--partial-images", "2"};
  out.insert(
      out.end(),
      {{"gemini", "stream-thoughts:2", {"--stream"}, 0, "bytes", null, null},
       {"gemini", "stream-final-first", {"--stream"}, 0, "bytes", null, null},
       {"gemini", "stream-cut", {"--stream"}, 1, nullptr, "SERVICE_BUSY", "ConnectionError error"},
       {"gemini",
        "stream-error",
        {"--stream"},
        1,
        nullptr,
        "IMAGE_GENERATE_FAIL",
        "An internal error has occurred. Please retry or report in "
        "https://developers.generativeai.google/guide/troubleshooting"},
       {"images", "stream-final-first", images_stream, 0, "bytes", null, null},
       {"images", "stream-cut", images_stream, 1, nullptr, "SERVICE_BUSY", null},
       {"images", "stream-error", images_stream, 1, nullptr, "IMAGE_GENERATE_FAIL",
        "The server had an error processing your request."}});
  return out;
}

class CliScenario : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("zantrel-e2e-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    emulator::EmulatorOptions options;
    options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }
  void TearDown() override {
    emulator_.reset();
    // Nothing written during the test (log, images, scratch files) holds the key in any form.
    EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> command(const Row& row) const {
    std::vector<std::string> argv = {ZANTREL_CLI_PATH,
                                     "--log",
                                     (dir_ / "log.jsonl").string(),
                                     row.service,
                                     "--prompt",
                                     "a lake",
                                     "--base-url",
                                     emulator_->base_url(),
                                     "--api-key",
                                     key_,
                                     "--json",
                                     "--out",
                                     (dir_ / "out.img").string(),
                                     "--task-id",
                                     "e2e",
                                     "--allow-private-links"};
    argv.insert(argv.end(), row.extra.begin(), row.extra.end());
    return argv;
  }

  // Runs the CLI and checks that neither of its outputs holds the key in any form.
  ProcessResult run_checked(const std::vector<std::string>& argv) const {
    auto run = run_process(argv);
    EXPECT_FALSE(leaks(run.out, key_)) << run.out;
    EXPECT_FALSE(leaks(run.err, key_)) << run.err;
    return run;
  }

  std::string key_ = make_canary_key();
  std::filesystem::path dir_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_P(CliScenario, GivesItsDocumentedOutcome) {
  const Row& row = GetParam();
  emulator_->set_scenario(*emulator::Scenario::parse(row.scenario));
  const auto run = run_process(command(row));
  ASSERT_EQ(run.status, row.status) << run.out << run.err;
  const json report = json::parse(run.out);
  EXPECT_EQ(report["ok"], row.status == 0);
  EXPECT_EQ(report["code"], row.code);
  EXPECT_EQ(report["msg"], row.msg);
  EXPECT_EQ(report["kind"], row.kind ? json(row.kind) : json());
  if (report["kind"] == "bytes") {
    const auto image = host::read_file_bytes(report["out"].get<std::string>());
    EXPECT_EQ(report["bytes"], image.size());
    EXPECT_EQ(report["sha256"], cli::sha256_hex(image));
    EXPECT_EQ(host::as_text(image).substr(1, 3), "PNG");
    if (std::string_view(row.scenario) == "large:3") {
      // The service's 3 MiB, and the image's facts beside them.
      EXPECT_GT(image.size(), std::size_t{3} << 20);
      EXPECT_LT(image.size(), (std::size_t{3} << 20) + 4096);
    }
    const auto facts = host::read_metadata(image);
    ASSERT_TRUE(facts);
    EXPECT_NE(facts->json.find("\"service\":"), std::string::npos) << facts->json;
  } else {
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out.img"));
  }
  if (report["kind"] == "link") {
    EXPECT_EQ(report["link"], emulator_->base_url() + "/files/missing");
  }

  // Every record is JSON with the task label; the key appears nowhere.
  std::ifstream log(dir_ / "log.jsonl");
  std::string line;
  std::size_t records = 0;
  while (std::getline(log, line)) {
    const json record = json::parse(line);
    EXPECT_EQ(record["task_id"], "e2e");
    EXPECT_FALSE(leaks(line, key_)) << line;
    ++records;
  }
  EXPECT_GE(records, row.code == "INVALID_PARAMS" ? 0u : 1u);
  EXPECT_FALSE(leaks(run.out, key_)) << run.out;
  EXPECT_FALSE(leaks(run.err, key_)) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Rows, CliScenario, ::testing::ValuesIn(rows()), [](const auto& info) {
  std::string name =
      std::to_string(info.index) + "_" + info.param.service + "_" + info.param.scenario;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

class CliUsage : public CliScenario {};

TEST_F(CliUsage, WrongKeyConnectionRefusedAndUsageErrors) {
  Row row{"gemini", "normal", {}, 0, nullptr, nullptr, nullptr};
  auto argv = command(row);
  argv[9] = "not-the-key";
  auto run = run_checked(argv);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(json::parse(run.out)["msg"], "API key not valid. Please pass a valid API key.");

  argv = command(row);
  argv[7] = "http://127.0.0.1:1";
  run = run_checked(argv);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(json::parse(run.out)["msg"], "ConnectionError error");

  EXPECT_EQ(run_checked({ZANTREL_CLI_PATH, "gemini"}).status, 2);  // no prompt
  EXPECT_EQ(run_checked({ZANTREL_CLI_PATH, "paint", "--prompt", "x"}).status,
            2);  // no such command
  EXPECT_EQ(run_checked({ZANTREL_CLI_PATH, "images", "--prompt", "x", "--timeout", "-1",
                         "--base-url", emulator_->base_url()})
                .status,
            2);
  EXPECT_EQ(run_checked({ZANTREL_CLI_PATH, "--help"}).status, 0);
}

TEST_F(CliUsage, LinksToThisMachineAreRefusedUnlessAllowed) {
  emulator_->set_scenario(*emulator::Scenario::parse("file-link"));
  for (const char* service : {"gemini", "images"}) {
    Row row{service, "file-link", {}, 0, nullptr, nullptr, nullptr};
    auto argv = command(row);
    argv.erase(std::find(argv.begin(), argv.end(), "--allow-private-links"));
    const auto run = run_checked(argv);
    EXPECT_EQ(run.status, 1) << service;
    const json report = json::parse(run.out);
    EXPECT_EQ(report["code"], "SERVICE_BUSY") << service;
    // The Gemini client names the failure's kind; the images client reports no text.
    EXPECT_EQ(report["msg"],
              std::string(service) == "gemini" ? json("AddressRefused error") : json())
        << service;
    EXPECT_EQ(run_checked(command(row)).status, 0) << service;  // with --allow-private-links
  }
}

TEST_F(CliUsage, ReferencesGoOutAsEditsAndBadOnesAreNamed) {
  Row row{"images", "normal", {}, 0, nullptr, nullptr, nullptr};
  // A first image to edit.
  ASSERT_EQ(run_checked(command(row)).status, 0);
  const std::string first = (dir_ / "first.png").string();
  std::filesystem::rename(dir_ / "out.img", first);
  std::ofstream(dir_ / "notes.txt") << "not an image";

  auto argv = command(row);
  argv.insert(argv.end(), {"--ref", first, "--ref", first});
  auto run = run_checked(argv);
  EXPECT_EQ(run.status, 0) << run.out << run.err;

  argv = command(row);
  argv.insert(argv.end(), {"--ref", (dir_ / "notes.txt").string()});
  run = run_checked(argv);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(json::parse(run.out)["msg"],
            "image 1 ('image-1.bin') has the content type "
            "'application/octet-stream'; expected an image type");
  // Gemini takes the same references inline.
  row.service = "gemini";
  argv = command(row);
  argv.insert(argv.end(), {"--ref", first, "--ref",
                           emulator_->base_url() + "/files/0000000000000001-64x64.png"});
  run = run_checked(argv);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
}

TEST_F(CliUsage, CountRunsCallsAtOnceAndCtrlCCancelsThemAll) {
  const std::string name = (dir_ / "pic.png").string();
  const std::vector<std::string> numbered = {
      (dir_ / "pic-1.png").string(), (dir_ / "pic-2.png").string(), (dir_ / "pic-3.png").string()};
  const auto lines = [](const std::string& text) {
    std::vector<json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) objects.push_back(json::parse(line));
    return objects;
  };
  for (const char* service : {"gemini", "images"}) {
    Row row{service, "normal", {"-n", "3"}, 0, nullptr, nullptr, nullptr};
    auto argv = command(row);
    *(std::find(argv.begin(), argv.end(), "--out") + 1) = name;
    // Gemini runs three calls; the images API makes the three images in one request.
    const bool gemini = std::string(service) == "gemini";
    const auto sent = emulator_->requests();
    auto run = run_checked(argv);
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(lines(run.out).size(), 3u) << service;
    EXPECT_EQ(emulator_->requests() - sent, gemini ? 3u : 1u) << service;
    for (const std::string& path : numbered) {
      EXPECT_TRUE(std::filesystem::exists(path)) << path;
      std::filesystem::remove(path);
    }

    // Every call is waiting when Ctrl-C comes: all end cancelled, nothing is written.
    emulator_->set_scenario(*emulator::Scenario::parse("delay:3000"));
    run = run_process(argv, std::chrono::milliseconds(1000));
    EXPECT_EQ(run.status, 130) << service;
    const auto objects = lines(run.out);
    ASSERT_EQ(objects.size(), gemini ? 3u : 1u) << service;
    for (const json& object : objects) {
      EXPECT_EQ(object["code"], "SERVICE_BUSY") << service;
      EXPECT_EQ(object["report"]["failure_kind"], "Cancelled") << service;
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      if (entry.path().filename() != "log.jsonl") left.push_back(entry.path().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << service;
    emulator_->set_scenario(*emulator::Scenario::parse("normal"));
  }
}

TEST_F(CliUsage, StreamWritesEachPreviewAsItArrives) {
  const auto previews = dir_ / "previews";
  const struct {
    const char* service;
    const char* scenario;
    std::vector<std::string> extra;
    std::vector<std::string> files;
  } cases[] = {
      {"images", "normal", {"--partial-images", "2"}, {"fox.partial-1.png", "fox.partial-2.png"}},
      {"gemini", "stream-thoughts:2", {}, {"fox.thought-1.png", "fox.thought-2.png"}},
  };
  for (const auto& c : cases) {
    emulator_->set_scenario(*emulator::Scenario::parse(c.scenario));
    Row row{c.service, c.scenario, {"--stream", "--previews", previews.string()}, 0, nullptr,
            nullptr,   nullptr};
    row.extra.insert(row.extra.end(), c.extra.begin(), c.extra.end());
    auto argv = command(row);
    argv.erase(std::find(argv.begin(), argv.end(), "--json"));
    *(std::find(argv.begin(), argv.end(), "--out") + 1) = (dir_ / "fox.png").string();
    const auto run = run_checked(argv);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string listed;
    for (const std::string& file : c.files) {
      listed += "preview " + (previews / file).string() + "\n";
      const auto image = host::read_file_bytes((previews / file).string());
      EXPECT_EQ(host::as_text(image).substr(1, 3), "PNG") << file;
    }
    EXPECT_TRUE(run.out.starts_with(listed)) << run.out;
    EXPECT_NE(run.out.find(", 2 previews, the first after "), std::string::npos) << run.out;
    std::filesystem::remove_all(previews);
  }
  // Streaming options need --stream.
  for (const char* option : {"--partial-images", "--previews"}) {
    Row row{"images", "normal", {option, "1"}, 0, nullptr, nullptr, nullptr};
    EXPECT_EQ(run_checked(command(row)).status, 2) << option;
  }
}

TEST(CliDemo, WritesTwoPngFiles) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-demo-" + std::to_string(::getpid()));
  const auto run = run_process({ZANTREL_CLI_PATH, "demo", "--out-dir", dir.string()});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const char* name : {"zantrel-demo-gemini.png", "zantrel-demo-images.png"}) {
    const auto image = host::read_file_bytes((dir / name).string());
    EXPECT_GT(image.size(), 1000u);
    EXPECT_EQ(host::as_text(image).substr(0, 4), "\x89PNG");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support

namespace zantrel::test_support {
namespace {

// The leak check itself finds the key in each form, inside longer texts.
TEST(Canary, FindsTheKeyRawUrlEncodedAndInsideBase64) {
  const std::string key = make_canary_key();
  EXPECT_TRUE(leaks("Bearer " + key + "\n", key));
  std::string encoded;
  for (char c : key) {
    if (c == '/')
      encoded += "%2F";
    else if (c == '+')
      encoded += "%2B";
    else if (c == '=')
      encoded += "%3D";
    else
      encoded.push_back(c);
  }
  EXPECT_NE(encoded, key);
  EXPECT_TRUE(leaks("?key=" + encoded + "&x=1", key));
  for (const std::string prefix : {"", "a", "ab", "abc", "abcd"}) {
    const std::string text = host::base64_encode(host::as_bytes(prefix + key + "tail"));
    EXPECT_TRUE(leaks("{\"data\":\"" + text + "\"}", key)) << prefix;
  }
  EXPECT_FALSE(leaks("nothing to see " + key.substr(0, key.size() / 2), key));
}

}  // namespace
}  // namespace zantrel::test_support
