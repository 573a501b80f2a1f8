// zantrel-image batch --via provider end to end against the emulator's batch engines: a mixed
// job through both services (inline and file, edits, failing requests, a lost create answer, a
// cut results file, an expired batch made by a direct rerun) equal to a direct run; Ctrl-C
// between a create and its record resumed without a second create; status and cancel.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/batch_fixture.h"
#include "tests/support/run_process.h"
#include "tools/emulator/picture.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

class ProviderBatch : public BatchJobTest {
 protected:
  void start_with_plan(const std::string& plan) {
    emulator::EmulatorOptions options;
    options.scenario = *emulator::Scenario::parse("batch:" + plan);
    start_emulator(options);
  }

  std::vector<std::string> provider(std::vector<std::string> extra = {}) const {
    std::vector<std::string> argv = command({"--via", "provider", "--poll", "0.1"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  // `argv` writing into DIR/`out` instead.
  std::vector<std::string> elsewhere(std::vector<std::string> argv, const std::string& out) const {
    const auto at = std::find(argv.begin(), argv.end(), "--out-dir");
    *(at + 1) = (dir_ / out).string();
    return argv;
  }

  json records() const {
    std::ifstream in(dir_ / "out" / "provider-batches.json");
    return json::parse(in);
  }

  std::vector<std::string> admin(const std::string& verb) const {
    return {ZANTREL_CLI_PATH, verb, (dir_ / "out").string(), "--base-url", emulator_->base_url(),
            "--api-key",      key_, "--allow-private-links"};
  }

  // The members a result line's outcome is judged by (not its times or request ids).
  static json outcome(const json& line) {
    const json& r = line["result"];
    return {{"file", line.value("file", "")},
            {"ok", r["ok"]},
            {"code", r["code"]},
            {"msg", r["msg"]},
            {"sha256", r["sha256"]},
            {"bytes", r["bytes"]},
            {"status", r["report"]["http_status"]}};
  }
  static std::pair<int, int> image_of(const json& line) {
    return {line["line"].get<int>(), line["index"].get<int>()};
  }
};

TEST_F(ProviderBatch, AMixedJobThroughBothEnginesEqualsADirectRunAndLosesNothing) {
  // 50 requests a batch: the third batch made expires, the fourth create's answer is lost,
  // every 9th request of a batch gets a 500 and each results file's first download is cut.
  // Answers carry small pictures, as do the direct runs' below.
  start_with_plan("delay=300+fail-every=9+expire=3+lost-create=4+cut-results+small");
  const std::string reference = (dir_ / "reference.png").string();
  const host::Bytes png = emulator::render_png(3, 256, 256);
  std::ofstream(reference, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) {
    const bool gemini = i < 150;
    json job = {{"service", gemini ? "gemini" : "images"},
                {"prompt", "scene " + std::to_string(i)}};
    // Gemini's later items carry a reference: their batches go as an uploaded file.
    if ((gemini && i >= 100) || (!gemini && i % 5 == 0)) job["refs"] = {reference};
    if (i % 37 == 0) job["n"] = 2;
    lines.push_back(job.dump());
  }
  lines[10] = R"({"service":"images","prompt":"x","colour":"red","bad":1})";
  const auto items = write_jobs(lines);
  int images = 0;
  for (const auto& [line, n] : items) images += n;

  // Without the metadata (its time and request id) the files of equal answers are equal.
  const auto run = run_process(
      provider({"--batch-max-requests", "50", "--inline-max-mb", "0.2", "--no-metadata"}));
  EXPECT_EQ(run.status, 1) << run.err;  // failed requests, a refused line, an expired batch
  EXPECT_NE(run.err.find("the create's answer was lost"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--via direct --resume` makes them"), std::string::npos) << run.err;
  const json recorded = records();
  // Every batch recorded was made once, the lost create included.
  EXPECT_EQ(emulator_->batch_creates(), recorded["batches"].size());
  std::map<std::string, int> states;
  for (const json& batch : recorded["batches"]) ++states[batch["state"].get<std::string>()];
  EXPECT_EQ(states["left"], 1) << recorded.dump();
  EXPECT_EQ(states["done"], static_cast<int>(recorded["batches"].size()) - 1);
  EXPECT_GE(emulator_->file_uploads(), 1u);  // Gemini's file batches

  std::map<std::pair<int, int>, int> from_provider;
  std::map<std::pair<int, int>, json> provider_lines;
  for (const json& line : results()) {
    if (line.value("via", "") != "provider") continue;
    ++from_provider[image_of(line)];
    provider_lines[image_of(line)] = line;
  }
  for (const auto& [image, times] : from_provider) EXPECT_EQ(times, 1) << image.first;
  std::size_t left = 0;
  for (const json& batch : recorded["batches"]) {
    if (batch["state"] == "left") left = batch["keys"].size();
  }
  EXPECT_EQ(from_provider.size() + left, static_cast<std::size_t>(images));

  // The same job made directly: every image that both runs made is the same, file and all; a
  // request the batch answered with a 500 ends as a direct call answered so ends.
  const emulator::Scenario small = *emulator::Scenario::parse("small-delay:0");
  // Both end with 1: the refused line (and, for the second, every request) fails.
  emulator_->set_scenario(small);
  const auto direct = run_process(
      elsewhere(command({"--via", "direct", "--concurrency", "16", "--no-metadata"}), "direct"));
  EXPECT_EQ(direct.status, 1) << direct.err;
  emulator_->set_scenario(*emulator::Scenario::parse("status:500"));
  const auto failing = run_process(
      elsewhere(command({"--via", "direct", "--concurrency", "16", "--no-metadata"}), "failing"));
  EXPECT_EQ(failing.status, 1) << failing.err;
  std::map<std::pair<int, int>, json> direct_lines, failing_lines;
  for (const json& line : results("direct")) {
    if (line.contains("result")) direct_lines[image_of(line)] = line;
  }
  for (const json& line : results("failing")) {
    if (line.contains("result")) failing_lines[image_of(line)] = line;
  }
  int failed = 0;
  for (const auto& [image, line] : provider_lines) {
    const bool ok = line["result"]["ok"] == true;
    failed += ok ? 0 : 1;
    const json& expected = ok ? direct_lines[image] : failing_lines[image];
    ASSERT_TRUE(expected.is_object()) << image.first;
    EXPECT_EQ(outcome(line), outcome(expected)) << image.first << "-" << image.second;
  }
  EXPECT_GT(failed, 0);

  // The expired batch's images (and those that failed) are made by a direct rerun.
  emulator_->set_scenario(small);
  const auto rerun = run_process(command({"--via", "direct", "--resume"}));
  EXPECT_EQ(rerun.status, 1) << rerun.err;  // the refused line stays refused
  expect_each_once(items, true);
}

TEST_F(ProviderBatch, CtrlCBetweenCreateAndRecordResumesWithoutASecondCreate) {
  // Each create is made at once and answered 6 s later: Ctrl-C comes in between.
  start_with_plan("delay=200+create-wait=6000");
  std::vector<std::string> lines;
  for (int i = 0; i < 12; ++i) {
    lines.push_back(json{{"service", "gemini"}, {"prompt", "p " + std::to_string(i)}}.dump());
  }
  const auto items = write_jobs(lines);
  const auto cut = run_process(provider(), 3000ms);
  EXPECT_EQ(cut.status, 130) << cut.err;
  EXPECT_EQ(emulator_->batch_creates(), 1u);
  EXPECT_EQ(records()["batches"][0]["state"], "intent");
  EXPECT_EQ(records()["batches"][0]["id"], "");

  const auto status = run_process(admin("batch-status"));
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("intent"), std::string::npos) << status.out;

  emulator_->set_scenario(*emulator::Scenario::parse("batch:delay=200"));
  const auto resumed = run_process(provider({"--resume"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("found at the service"), std::string::npos) << resumed.err;
  EXPECT_EQ(emulator_->batch_creates(), 1u);
  EXPECT_EQ(emulator_->requests(), 0u);  // nothing was made directly
  expect_each_once(items, true);

  // Everything is done: a rerun reads nothing again and makes nothing.
  const auto again = run_process(provider({"--resume"}));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(emulator_->batch_creates(), 1u);
  EXPECT_EQ(results().size(), 12u);
}

TEST_F(ProviderBatch, StatusShowsRunningBatchesAndCancelLeavesTheirImages) {
  start_with_plan("delay=600000");
  write_jobs({R"({"service":"gemini","prompt":"a"})", R"({"service":"images","prompt":"b"})"});
  const auto cut = run_process(provider(), 2000ms);
  EXPECT_EQ(cut.status, 130) << cut.err;
  EXPECT_EQ(emulator_->batch_creates(), 2u);

  // A direct run would buy what the running batches hold: refused, or told to leave them.
  const auto sent = emulator_->requests();
  const auto direct = run_process(command({"--via", "direct", "--resume"}));
  EXPECT_EQ(direct.status, 1) << direct.err;
  EXPECT_NE(direct.err.find("records 2 provider batch(es) that may still run"), std::string::npos)
      << direct.err;
  const auto skipping =
      run_process(command({"--via", "direct", "--resume", "--skip-pending-batches"}));
  EXPECT_EQ(skipping.status, 0) << skipping.err;
  EXPECT_NE(skipping.err.find("2 images are left to 2 provider batch(es)"), std::string::npos)
      << skipping.err;
  EXPECT_EQ(emulator_->requests(), sent);

  // Polls the link policy refuses would be refused every time: the run ends at once.
  auto refused_argv = provider({"--resume"});
  std::erase(refused_argv, std::string("--allow-private-links"));
  const auto refused = run_process(refused_argv, 20000ms);
  EXPECT_EQ(refused.status, 1) << refused.err;
  EXPECT_NE(refused.err.find("can't be reached, and waiting will not change that"),
            std::string::npos)
      << refused.err;

  const auto status = run_process(admin("batch-status"));
  EXPECT_EQ(status.status, 0) << status.err;
  for (const char* text : {"BATCH_STATE_PENDING", "validating", "0/1", "by 20"}) {
    EXPECT_NE(status.out.find(text), std::string::npos) << text << "\n" << status.out;
  }
  const auto cancel = run_process(admin("batch-cancel"));
  EXPECT_EQ(cancel.status, 0) << cancel.err;
  EXPECT_NE(cancel.out.find("2 batches asked to cancel"), std::string::npos) << cancel.out;

  const auto after = run_process(provider({"--resume"}));
  EXPECT_EQ(after.status, 1) << after.err;
  EXPECT_NE(after.out.find("left by provider batches (--via direct --resume makes them): 2"),
            std::string::npos)
      << after.out;
  EXPECT_EQ(emulator_->batch_creates(), 2u);
  const json recorded = records();  // kept: a loop over a temporary's member would dangle
  for (const json& batch : recorded["batches"]) EXPECT_EQ(batch["state"], "left");
}

// The batch engines bill half the standard prices. By hand, from the emulator's usage:
// gemini-3-pro-image, 1 text token at $1/M and 1,290 image tokens at $60/M: $0.077401;
// gpt-image-2, 1 text token at $2.5/M and 1,056 image tokens at $15/M: $0.0158425.
TEST_F(ProviderBatch, ARunIsPricedAtTheBatchTier) {
  start_with_plan("delay=100");
  write_jobs({R"({"service":"gemini","prompt":"a"})", R"({"service":"images","prompt":"b"})"});
  const auto run = run_process(provider());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("cost (estimated, prices of 2026-12-01): gemini $0.0774 images $0.0158, "
                         "total $0.0932"),
            std::string::npos)
      << run.out;
  for (const json& line : results()) {
    EXPECT_EQ(line["result"]["report"]["cost"]["tier"], "batch") << line.dump();
    EXPECT_TRUE(line["result"]["report"]["model_sent"].is_string()) << line.dump();
  }
}

TEST_F(ProviderBatch, TheLinesAreThePublicEndpointsOwnRequests) {
  // The direct mode answers as the public endpoints do: their key header, members and models.
  emulator::EmulatorOptions options;
  options.dialect = emulator::AcceptedDialect::kDirect;
  options.scenario = *emulator::Scenario::parse("batch:delay=200+small");
  start_emulator(options);
  const std::string reference = (dir_ / "reference.png").string();
  const host::Bytes png = emulator::render_png(5, 64, 64);
  std::ofstream(reference, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  const auto items = write_jobs(
      {R"({"service":"gemini","prompt":"a","dialect":"direct","aspect_ratio":"16:9"})",
       R"({"service":"images","prompt":"b","dialect":"direct","quality":"low"})",
       json{{"service", "images"}, {"prompt", "c"}, {"dialect", "direct"}, {"refs", {reference}}}
           .dump()});
  const auto run = run_process(provider());
  EXPECT_EQ(run.status, 0) << run.err;
  expect_each_once(items, true);
  EXPECT_EQ(emulator_->batch_creates(), 3u);  // Gemini, images generations, images edits
  const auto status = run_process(admin("batch-status"));
  EXPECT_EQ(status.status, 0) << status.out << status.err;
}

}  // namespace
}  // namespace zantrel::test_support
