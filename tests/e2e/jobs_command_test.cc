// The command line's background jobs against the emulator: each job recorded before it waits,
// and a run that detached, was interrupted or lost its submit's answer ends with `jobs collect`
// writing the image once, never submitting again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

class CliJobs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("zantrel-jobs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
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

  ProcessResult run(std::vector<std::string> words,
                    std::optional<std::chrono::milliseconds> interrupt_after = {}) const {
    std::vector<std::string> argv = {ZANTREL_CLI_PATH};
    argv.insert(argv.end(), words.begin(), words.end());
    argv.insert(argv.end(),
                {"--base-url", emulator_->base_url(), "--api-key", key_, "--allow-private-links"});
    auto result = run_process(argv, interrupt_after);
    EXPECT_FALSE(leaks(result.out, key_)) << result.out;
    EXPECT_FALSE(leaks(result.err, key_)) << result.err;
    return result;
  }

  // The state of every recorded job.
  std::vector<std::string> states() const {
    const ProcessResult listed =
        run_process({ZANTREL_CLI_PATH, "jobs", "--json"}, std::nullopt, "");
    std::vector<std::string> out;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
      out.push_back(nlohmann::json::parse(line).value("state", ""));
    }
    return out;
  }

  std::filesystem::path dir_;
  std::string key_ = make_canary_key();
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(CliJobs, ARecordedJobIsCollectedOnceWhateverEndedItsRun) {
  const struct {
    const char* service;
    const char* flag;
    const char* scenario;
    std::optional<std::chrono::milliseconds> interrupt_after;
    int first_status;
    const char* recorded;  // the record's state once the first run ended
    int collect_status;
    const char* collected;  // ... and once `jobs collect --all` ended
    bool written;
  } cases[] = {
      {"gemini", "--detach", "normal", {}, 0, "submitted", 0, "collected", true},
      {"images", "--detach", "normal", {}, 0, "submitted", 0, "collected", true},
      {"gemini", "--job", "normal", {}, 0, "collected", 0, "collected", true},
      {"images", "--job", "job:delay=3000", 1200ms, 130, "submitted", 0, "collected", true},
      {"gemini", "--job", "job:delay=100+lost-submit", {}, 1, "submitting", 1, "submitting", false},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.service) + " " + c.flag + " " + c.scenario);
    std::filesystem::remove_all(dir_ / "state");
    emulator_->set_scenario(*emulator::Scenario::parse(c.scenario));
    const std::uint64_t before = emulator_->job_submits();
    const std::string out = (dir_ / ("image-" + std::to_string(++row) + ".png")).string();
    const ProcessResult first =
        run({c.service, "--prompt", "a heron", c.flag, "--out", out}, c.interrupt_after);
    EXPECT_EQ(first.status, c.first_status) << first.err;
    EXPECT_EQ(states(), std::vector<std::string>{c.recorded});
    emulator_->set_scenario(*emulator::Scenario::parse("normal"));
    const ProcessResult collected = run({"jobs", "collect", "--all"});
    EXPECT_EQ(collected.status, c.collect_status) << collected.err;
    EXPECT_EQ(states(), std::vector<std::string>{c.collected});
    EXPECT_EQ(std::filesystem::exists(out), c.written);
    // Never a second job for one image, whatever happened to the first run.
    EXPECT_EQ(emulator_->job_submits() - before, 1U);
  }
}

}  // namespace
}  // namespace zantrel::test_support
