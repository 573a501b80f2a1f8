// What the single commands refuse before paying, and what they bound: each row a user's
// command line against the emulator, with its exit status, what it said and how many requests
// reached the service.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"

namespace zantrel::test_support {
namespace {

class CliGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zantrel-guards-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    emulator::EmulatorOptions options;
    options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }
  void TearDown() override {
    emulator_.reset();
    EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  // `words`: the command and its own flags; DIR in any of them becomes the test's folder.
  ProcessResult run(std::vector<std::string> words, const std::string& input = {}) const {
    for (std::string& word : words) {
      for (auto at = word.find("DIR"); at != std::string::npos; at = word.find("DIR")) {
        word.replace(at, 3, dir_.string());
      }
    }
    std::vector<std::string> argv = {ZANTREL_CLI_PATH};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.insert(argv.end(),
                {"--base-url", emulator_->base_url(), "--api-key", key_, "--allow-private-links"});
    auto result = run_process(argv, std::nullopt, input);
    EXPECT_FALSE(leaks(result.out, key_)) << result.out;
    EXPECT_FALSE(leaks(result.err, key_)) << result.err;
    return result;
  }

  std::string key_ = make_canary_key();
  std::filesystem::path dir_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

struct Row {
  const char* name;
  std::vector<std::string> words;
  int status;
  std::uint64_t requests;  // reaching the emulator
  const char* said;        // in stdout or stderr ("" : anything)
};

void check_rows(const std::vector<Row>& rows, const emulator::Emulator& emulator,
                const std::function<ProcessResult(const Row&)>& run) {
  for (const Row& row : rows) {
    const auto before = emulator.requests();
    const ProcessResult result = run(row);
    EXPECT_EQ(result.status, row.status) << row.name << ": " << result.out << result.err;
    EXPECT_EQ(emulator.requests() - before, row.requests) << row.name;
    EXPECT_NE((result.out + result.err).find(row.said), std::string::npos)
        << row.name << ": " << result.out << result.err;
  }
}

TEST_F(CliGuards, TimesBudgetsAndCountsAreCheckedBeforeSending) {
  const std::vector<std::string> gemini = {"gemini", "--prompt", "a lake", "--out", "DIR/g.png"};
  const std::vector<std::string> images = {"images", "--prompt", "a lake", "--out", "DIR/i.png"};
  const auto with = [](std::vector<std::string> words, std::vector<std::string> more) {
    words.insert(words.end(), more.begin(), more.end());
    return words;
  };
  const std::vector<Row> rows = {
      {"--timeout nan", with(gemini, {"--timeout", "nan"}), 2, 0, "--timeout and --deadline"},
      {"--deadline -1", with(images, {"--deadline", "-1"}), 2, 0, "take seconds from 0"},
      {"--timeout 1e10 means no limit", with(gemini, {"--timeout", "1e10"}), 0, 1, "wrote "},
      {"--timeout inf", with(images, {"--timeout", "inf"}), 0, 1, "wrote "},
      {"--deadline 1e10", with(gemini, {"--deadline", "1e10"}), 0, 1, "wrote "},
      {"--max-cost nan", with(gemini, {"--max-cost", "nan"}), 2, 0, "--max-cost takes US dollars"},
      {"--max-cost 0 sends nothing", with(images, {"--max-cost", "0"}), 1, 0,
       "stopped at --max-cost: about $0.0000 of $0.0000 spent, 1 of 1 call not sent"},
      {"gemini -n 11", with(gemini, {"-n", "11"}), 2, 0, "-n takes a whole number from 1 to 10"},
      // Each call of the default model costs about $0.1548: the budget holds two.
      {"gemini -n 5 under a budget of two", with(gemini, {"-n", "5", "--max-cost", "0.35"}), 1, 2,
       "3 of 5 calls not sent"},
      {"a prompt that is not UTF-8",
       {"images", "--prompt", "a\xff lake", "--out", "DIR/u.png"},
       1,
       0,
       "prompt is not valid UTF-8 (byte 1)"},
      {"batch --max-cost 0",
       {"batch", "DIR/jobs.jsonl", "--out-dir", "DIR/b", "--max-cost", "0"},
       1,
       0,
       "not sent"},
      {"batch --max-cost inf",
       {"batch", "DIR/jobs.jsonl", "--out-dir", "DIR/c", "--max-cost", "inf"},
       2,
       0,
       "--max-cost takes US dollars from 0"},
      {"batch --timeout nan",
       {"batch", "DIR/jobs.jsonl", "--out-dir", "DIR/d", "--timeout", "nan"},
       2,
       0,
       "must not be negative"},
  };
  std::ofstream(dir_ / "jobs.jsonl") << R"({"service": "gemini", "prompt": "a lake"})"
                                     << "\n";
  check_rows(rows, *emulator_, [&](const Row& row) { return run(row.words); });
}

TEST_F(CliGuards, AReferenceThatDoesNotLoadIsRefusedByName) {
  std::filesystem::create_directories(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
  std::ofstream(dir_ / "c.jsonl").close();
  const std::vector<Row> rows = {
      {"a missing path",
       {"gemini", "--prompt", "a", "--ref", "DIR/none.png", "--out", "DIR/a.png"},
       1,
       0,
       "INVALID_PARAMS: reference 1 (DIR/none.png) can't be used: no such file"},
      {"a folder",
       {"images", "--prompt", "a", "--ref", "DIR/folder", "--out", "DIR/b.png"},
       1,
       0,
       "folder) can't be used: cannot read DIR/folder: Is a directory"},
      // A named pipe with no writer would block the open and the read: refused at once.
      {"a named pipe",
       {"gemini", "--prompt", "a", "--ref", "DIR/pipe", "--out", "DIR/c.png"},
       1,
       0,
       "pipe) can't be used: cannot read DIR/pipe: not a regular file"},
      {"the second of two",
       {"images", "--prompt", "a", "--ref", "DIR/c.jsonl", "--ref", "DIR/none.png", "--out",
        "DIR/d.png"},
       1,
       0,
       "reference 2 (DIR/none.png)"},
  };
  check_rows(rows, *emulator_, [&](const Row& row) {
    auto result = run(row.words);
    // The texts name the test's folder as DIR.
    for (std::string* text : {&result.out, &result.err}) {
      for (auto at = text->find(dir_.string()); at != std::string::npos;
           at = text->find(dir_.string())) {
        text->replace(at, dir_.string().size(), "DIR");
      }
    }
    return result;
  });
}

// Every failure line names its cause; text from a service or an image can't drive the
// terminal.
TEST_F(CliGuards, EveryFailureSaysWhyAndNothingDrivesTheTerminal) {
  const struct {
    const char* service;
    const char* scenario;
    const char* said;
  } cases[] = {
      {"images", "status-empty-error:500",
       "failed: IMAGE_GENERATE_FAIL: HTTP 500 without an error text"},
      {"gemini", "status-empty-error:500",
       "failed: IMAGE_GENERATE_FAIL: HTTP 500 without an error text"},
      {"gemini", "prompt-blocked", "failed: NO_IMAGE_RESULT: the answer held no image (blocked "},
      {"images", "no-image", "failed: NO_IMAGE_RESULT: the answer held no image"},
      {"gemini", "no-image", "the answer held no image (finish reason STOP"},
      {"images", "reset", "failed: SERVICE_BUSY: ConnectionError"},
  };
  for (const auto& c : cases) {
    emulator_->set_scenario(*emulator::Scenario::parse(c.scenario));
    const auto result = run({c.service, "--prompt", "a", "--out", "DIR/a.png"});
    EXPECT_EQ(result.status, 1) << c.scenario;
    EXPECT_NE(result.err.find(c.said), std::string::npos)
        << c.service << " " << c.scenario << ": " << result.err;
  }
  emulator_->set_scenario(*emulator::Scenario::parse("normal"));
  // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one prompt, cut after its escapes
  ASSERT_EQ(run({"gemini", "--prompt",
                 "a \x1b]0;owned\x07 lake \xc2\x9b"
                 "31m",
                 "--out", "DIR/e.png"})
                .status,
            0);
  const auto info = run_process({ZANTREL_CLI_PATH, "info", (dir_ / "e.png").string()});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out.find('\x1b'), std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("\xc2\x9b"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("a \\x1b]0;owned\\x07 lake \\u009b31m"), std::string::npos) << info.out;
}

// A service that echoes the key: it reaches no output, log, results line or page (the fixture
// checks the outputs and every file of the folder), and the place it held is marked.
TEST_F(CliGuards, AKeyTheServiceEchoesIsBlankedEverywhere) {
  emulator_->set_scenario(*emulator::Scenario::parse("echo-key"));
  std::ofstream(dir_ / "jobs.jsonl") << R"({"service": "gemini", "prompt": "a"})"
                                     << "\n"
                                     << R"({"service": "images", "prompt": "b"})"
                                     << "\n";
  const std::vector<std::vector<std::string>> commands = {
      {"--log", "DIR/log.jsonl", "gemini", "--prompt", "a", "--out", "DIR/a.png"},
      {"images", "--prompt", "a", "--out", "DIR/b.png", "--json"},
      {"--log", "DIR/batch-log.jsonl", "batch", "DIR/jobs.jsonl", "--out-dir", "DIR/out"},
  };
  for (const auto& words : commands) {
    const auto result = run(words);
    EXPECT_EQ(result.status, 1) << words[0] << result.err;
    EXPECT_NE((result.out + result.err).find("[key]"), std::string::npos)
        << result.out << result.err;
  }
  const auto chat = run({"chat", "--out-dir", "DIR/chat"}, "a lake\n");
  EXPECT_NE(chat.err.find("[key]"), std::string::npos) << chat.err;
}

// --timeout bounds every exchange of a call, the fetch of an answer's link included: a link
// that stays silent ends the call at the time-out, not when the link speaks.
TEST_F(CliGuards, TheTimeoutBoundsALinkFetch) {
  emulator_->set_scenario(*emulator::Scenario::parse("link-silent:6000"));
  const auto start = std::chrono::steady_clock::now();
  const auto result = run({"gemini", "--prompt", "a", "--out", "DIR/a.png", "--timeout", "1"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_LT(took, std::chrono::seconds(5)) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a.png"));
}

// batch --check says what the calls would say, sending nothing.
TEST_F(CliGuards, CheckRefusesWhatTheCallWouldRefuse) {
  std::filesystem::create_directories(dir_ / "folder");
  const struct {
    const char* line;
    const char* said;
  } lines[] = {
      {R"({"service": "gemini", "prompt": "a", "aspect_ratio": "7:3"})",
       "Invalid aspect_ratio: 7:3"},
      {R"({"service": "images", "prompt": "a", "refs": ["DIR/folder"]})", "Is a directory"},
      {R"({"service": "gemini", "prompt": "a", "seed": 1099511627776})",
       "seed 1099511627776 is out of range; it takes -2147483648 to 2147483647"},
      {R"({"service": "gemini", "prompt": "a", "name": "a\tb"})", "must be a plain file stem"},
      {R"({"service": "images", "prompt": "a", "quality": "xhigh"})",
       "line 2: quality xhigh is not taken; it takes low, medium, high, auto"},
  };
  std::vector<Row> rows;
  for (std::size_t i = 0; i < std::size(lines); ++i) {
    const std::string file = "check-" + std::to_string(i) + ".jsonl";
    std::string line = lines[i].line;
    if (auto at = line.find("DIR"); at != std::string::npos) line.replace(at, 3, dir_.string());
    std::ofstream(dir_ / file) << R"({"service": "gemini", "prompt": "fine"})"
                               << "\n"
                               << line << "\n";
    rows.push_back({lines[i].said,
                    {"batch", "DIR/" + file, "--out-dir", "DIR/out", "--check"},
                    1,
                    0,
                    lines[i].said});
  }
  check_rows(rows, *emulator_, [&](const Row& row) { return run(row.words); });
}

TEST_F(CliGuards, AnImageGoesWhereAskedOrIsKeptAndSaid) {
  std::filesystem::create_directories(dir_ / "folder");
  std::ofstream(dir_ / "read-only.png") << "mine";
  std::filesystem::permissions(dir_ / "read-only.png", std::filesystem::perms::owner_read);
  std::filesystem::create_directories(dir_ / "chat");
  std::ofstream(dir_ / "chat/turn-1.png") << "an earlier session's";
  const std::vector<Row> rows = {
      {"an empty --out",
       {"gemini", "--prompt", "a", "--out", ""},
       2,
       0,
       "the output file name is empty; nothing was sent"},
      {"a folder that does not exist",
       {"images", "--prompt", "a", "--out", "DIR/none/a.png"},
       2,
       0,
       "none/a.png can't be used: No such file or directory"},
      {"a folder",
       {"gemini", "--prompt", "a", "--out", "DIR/folder"},
       2,
       0,
       "is a folder, not a file"},
      {"a read-only file",
       {"images", "--prompt", "a", "--out", "DIR/read-only.png"},
       2,
       0,
       "read-only.png is read-only; it is not replaced"},
      {"-n 2 beside a read-only file",
       {"gemini", "--prompt", "a", "-n", "2", "--out", "DIR/read-only.png"},
       0,
       2,
       "wrote "},
      {"a read-only turn target",
       {"gemini", "--prompt", "a", "--save-turn", "DIR/c2.json", "--out", "DIR/read-only.png"},
       2,
       0,
       "is read-only"},
  };
  check_rows(rows, *emulator_, [&](const Row& row) { return run(row.words); });
  // The file refused is as it was.
  EXPECT_EQ(std::filesystem::file_size(dir_ / "read-only.png"), 4u);

  // A chat whose folder holds a turn-1.png its conversation does not count keeps it.
  const auto before = emulator_->requests();
  const auto chat = run({"chat", "--out-dir", "DIR/chat"}, "a lake\n");
  EXPECT_EQ(chat.status, 0) << chat.err;
  EXPECT_EQ(emulator_->requests() - before, 1u);
  EXPECT_NE(chat.err.find("turn-1.png is already there but is no turn of the conversation"),
            std::string::npos)
      << chat.err;
  EXPECT_EQ(std::filesystem::file_size(dir_ / "chat/turn-1.png"), 20u);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "chat/turn-1-2.png"));

  // A folder that goes away while the call runs: the paid image is kept in the state folder.
  std::filesystem::create_directories(dir_ / "vanishing");
  emulator_->set_scenario(*emulator::Scenario::parse("delay:1500"));
  const auto lost = run_process(
      {"/bin/sh", "-c",
       "XDG_STATE_HOME=" + (dir_ / "state").string() + " \"$0\" \"$@\" & sleep 0.7; rm -r " +
           (dir_ / "vanishing").string() + "; wait $!",
       ZANTREL_CLI_PATH, "gemini", "--prompt", "a", "--out", (dir_ / "vanishing/a.png").string(),
       "--json", "--base-url", emulator_->base_url(), "--api-key", key_, "--allow-private-links"});
  EXPECT_EQ(lost.status, 1) << lost.err;
  EXPECT_NE(lost.err.find("the image is kept at " + (dir_ / "state/zantrel/unsaved/").string()),
            std::string::npos)
      << lost.err;
  const auto report = nlohmann::json::parse(lost.out);
  EXPECT_EQ(report["ok"], false);
  EXPECT_TRUE(report["write_error"].is_string());
  ASSERT_TRUE(report["out"].is_string());
  EXPECT_TRUE(std::filesystem::file_size(report["out"].get<std::string>()) > 0);
  EXPECT_FALSE(leaks(lost.out + lost.err, key_));
}

}  // namespace
}  // namespace zantrel::test_support
