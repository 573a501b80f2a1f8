// A batch whose images are made as jobs the service holds: the same results and files as a
// direct run, each job recorded before it is waited for, and a run stopped while its jobs run
// ends with a --resume that collects them instead of submitting them again.
#include <chrono>
#include <filesystem>

#include "tests/e2e/batch_fixture.h"
#include "tests/support/run_process.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

class BatchJobs : public BatchJobTest {};

TEST_F(BatchJobs, AreRecordedCollectedAndNeverSubmittedTwice) {
  emulator::EmulatorOptions options;
  options.scenario = *emulator::Scenario::parse("job:delay=2500");
  start_emulator(options);
  const auto items = write_jobs({
      R"({"service": "gemini", "prompt": "a kite", "name": "kite", "background": true})",
      R"({"service": "images", "prompt": "a boat", "name": "boat", "background": "opaque"})",
      R"({"service": "gemini", "prompt": "a bell", "name": "bell", "n": 2})",
  });
  // Stopped while every job runs: each is recorded as submitted, none written.
  const ProcessResult stopped =
      run_process(command({"--background", "--concurrency", "8"}), 1200ms);
  EXPECT_EQ(stopped.status, 130) << stopped.err;
  EXPECT_EQ(emulator_->job_submits(), 4U);
  int submitted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "out" / "jobs")) {
    const json record = json::parse(std::ifstream(entry.path()));
    submitted += record["state"] == "submitted" ? 1 : 0;
  }
  EXPECT_EQ(submitted, 4);

  // The rerun collects what the jobs made: the same four, no fifth submit.
  const ProcessResult resumed = run_process(command({"--background", "--resume"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(emulator_->job_submits(), 4U);
  expect_each_once(items, true);
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "out" / "jobs")) {
    EXPECT_EQ(json::parse(std::ifstream(entry.path()))["state"], "collected") << entry.path();
  }
}

}  // namespace
}  // namespace zantrel::test_support
