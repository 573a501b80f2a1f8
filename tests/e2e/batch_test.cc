// zantrel-image batch end to end against the emulator: a mixed job accounted for exactly once,
// an interrupted run resumed to completion, a finished job resumed without a request, a check
// that sends nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/batch_fixture.h"
#include "tests/support/run_process.h"
#include "tools/cli/output/image_output.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/references.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

class Batch : public BatchJobTest {};

TEST_F(Batch, AMixedJobIsAccountedForExactlyOnce) {
  start_emulator("small-delay:20:14,busy:1:1,status:503:1");
  const std::string reference = (dir_ / "reference.png").string();
  const host::Bytes png = emulator::render_png(3, 96, 64);
  std::ofstream(reference, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    json job = {{"service", i % 2 == 0 ? "gemini" : "images"},
                {"prompt", "scene " + std::to_string(i)}};
    if (i % 7 == 0)
      job["refs"] = {reference, emulator_->base_url() + "/files/0000000000000001-64x64.png"};
    if (i % 11 == 0) job["n"] = 3;
    if (i % 13 == 0) job["name"] = "scene-" + std::to_string(i);
    lines.push_back(job.dump());
  }
  // Lines that can't be used: each reported, none stopping the others.
  lines[20] = R"({"service":"paint","prompt":"x","bad":1})";
  lines[40] = "not json at all";
  lines[60] = R"({"service":"gemini","prompt":"x","colour":"red"})";
  lines[80] = R"({"service":"images","bad":1})";
  lines[100] = R"({"service":"images","prompt":"x","refs":["/no/such/file.png"],"bad":1})";
  const auto items = write_jobs(lines);

  // Retries absorb most 503s and 429s go back to the queue after the hint; what still fails
  // is recorded like any result.
  const auto run = run_process(command({"--concurrency", "16", "--retry", "3"}));
  EXPECT_EQ(run.status, 1) << run.err;  // the refused lines
  EXPECT_NE(run.out.find("results: "), std::string::npos) << run.out;
  std::set<int> refused;
  int error_lines = 0;
  for (const json& line : results()) {
    if (line.contains("error")) {
      refused.insert(line["line"].get<int>());
      ++error_lines;
    }
  }
  EXPECT_EQ(refused, (std::set<int>{21, 41, 61, 81, 101}));
  EXPECT_EQ(error_lines, 5);
  std::map<int, int> good = items;
  for (int line : refused) good.erase(line);
  int images = 0;
  for (const auto& [line, n] : good) images += n;
  EXPECT_EQ(results().size(), static_cast<std::size_t>(images + 5));
  expect_each_once(good, false);
  int ok = 0;
  for (const json& line : results()) ok += line.contains("result") && line["result"]["ok"] == true;
  EXPECT_GT(ok, images * 9 / 10);
}

TEST_F(Batch, AnInterruptedRunResumesToTheSameResultsAndAFinishedOneSendsNothing) {
  start_emulator("small-delay:400:1");
  std::vector<std::string> lines;
  for (int i = 0; i < 24; ++i) {
    lines.push_back(json{{"service", i % 2 == 0 ? "gemini" : "images"}, {"prompt", "p"}}.dump());
  }
  const auto items = write_jobs(lines);
  const auto cut = run_process(command({"--concurrency", "4"}), 1500ms);
  EXPECT_EQ(cut.status, 130) << cut.err;
  const std::size_t finished = results().size();
  EXPECT_GT(finished, 0u);
  EXPECT_LT(finished, 24u);
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "out")) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << "partial file left";
  }

  const auto resumed = run_process(command({"--concurrency", "8", "--resume"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(results().size(), 24u);
  expect_each_once(items, true);

  const auto sent = emulator_->requests();
  const auto again = run_process(command({"--resume"}));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(emulator_->requests(), sent);
  EXPECT_NE(again.out.find("finished by an earlier run: 24"), std::string::npos) << again.out;
}

// A budget stops sending near it, never sends past what it recorded, and a resumed run with a
// larger one makes the rest.
TEST_F(Batch, MaxCostStopsSendingAtTheBudgetAndResumeMakesTheRest) {
  start_emulator("small-delay:20:1");
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    lines.push_back(json{{"service", i % 2 == 0 ? "gemini" : "images"},
                         {"prompt", "scene " + std::to_string(i)}}
                        .dump());
  }
  const auto items = write_jobs(lines);
  constexpr double kBudget = 3.0;
  const auto run = run_process(command({"--max-cost", "3", "--concurrency", "8"}));
  EXPECT_EQ(run.status, 1) << run.err;
  double spent = 0, dearest = 0;
  for (const json& line : results()) {
    ASSERT_TRUE(line["result"]["ok"].get<bool>()) << line.dump();
    const json& cost = line["result"]["report"]["cost"];
    ASSERT_TRUE(cost.is_object()) << line.dump();
    EXPECT_EQ(cost["tier"], "standard");
    EXPECT_EQ(cost["prices_as_of"], "2026-12-01");
    spent += cost["usd"].get<double>();
    dearest = std::max(dearest, cost["usd"].get<double>());
  }
  const std::size_t made = results().size();
  EXPECT_LT(made, 200u);
  // Nothing was sent that is not recorded, and the run stopped within a call of the budget.
  EXPECT_EQ(emulator_->requests(), made);
  EXPECT_LE(spent, kBudget + dearest);
  EXPECT_GE(spent, kBudget - dearest);
  EXPECT_NE(run.out.find("not sent, the estimated cost having reached --max-cost: " +
                         std::to_string(200 - made)),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(", total " + cli::dollars(spent)), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("--resume with a larger --max-cost makes them"), std::string::npos);

  const auto resumed = run_process(command({"--resume", "--max-cost", "100"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  expect_each_once(items, true);
  EXPECT_EQ(emulator_->requests(), 200u);
}

TEST_F(Batch, CheckNamesEveryRefusedLineAndSendsNothing) {
  start_emulator("small-delay:20:1");
  write_jobs({R"({"service":"gemini","prompt":"a"})", R"({"service":"images"})",
              R"({"service":"images","prompt":"b","n":0})",
              R"({"service":"images","prompt":"b","seed":7})",
              R"({"service":"gemini","prompt":"c","background":"opaque"})",
              R"({"service":"images","prompt":"d","output_compression":"high"})",
              R"({"service":"gemini","prompt":"e","safety":["HARM_CATEGORY_HARASSMENT"]})",
              R"({"service":"images","prompt":"f","stream":"yes"})",
              R"({"service":"gemini","prompt":"g","partial_images":2})"});
  const auto run = run_process(command({"--check"}));
  EXPECT_EQ(run.status, 1);
  for (const char* reason :
       {"line 2: no \"prompt\"", "line 3: \"n\" must be a whole number",
        "line 4: \"seed\" is for gemini only", "line 5: \"background\" is for images only",
        "line 6: \"output_compression\" must be a whole number",
        "line 7: \"safety\" must be an object", "line 8: \"stream\" must be true or false",
        "line 9: \"partial_images\" is for images only"}) {
    EXPECT_NE(run.err.find(reason), std::string::npos) << reason << "\n" << run.err;
  }
  EXPECT_NE(run.out.find("1 items (1 images) ready, 8 lines refused"), std::string::npos);
  EXPECT_EQ(emulator_->requests(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out" / "results.jsonl"));
}

TEST_F(Batch, LinesTakeEachServicesOwnMembers) {
  start_emulator("normal");
  // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): each line written on two
  write_jobs({R"({"service":"images","prompt":"a","name":"w","output_format":"webp",)"
              R"("output_compression":70,"moderation":"low","user":"u-1","extra":{"x":1}})",
              R"({"service":"gemini","prompt":"b","name":"g","seed":7,"temperature":0.5,)"
              R"("text":true,"safety":{"HARM_CATEGORY_HARASSMENT":"BLOCK_ONLY_HIGH"}})",
              R"({"service":"images","prompt":"c","name":"t","model":"gpt-image-2",)"
              R"("background":"transparent"})",
              R"({"service":"images","prompt":"d","name":"s","stream":true,"partial_images":2})",
              R"({"service":"gemini","prompt":"e","name":"h","stream":true})"});
  const auto run = run_process(command({}));
  EXPECT_EQ(run.status, 1) << run.err;  // one image failed
  std::map<std::string, json> by_name;
  for (const json& line : results()) by_name[line.value("name", "")] = line;
  EXPECT_EQ(by_name["w"]["result"]["ok"], true) << by_name["w"].dump();
  EXPECT_TRUE(std::filesystem::exists(dir_ / "out" / "w.webp"));
  EXPECT_EQ(by_name["g"]["result"]["ok"], true) << by_name["g"].dump();
  for (const char* streamed : {"s", "h"}) {
    EXPECT_EQ(by_name[streamed]["result"]["ok"], true) << by_name[streamed].dump();
    EXPECT_GT(by_name[streamed]["result"]["report"]["stream"]["events"], 0)
        << by_name[streamed].dump();
  }
  EXPECT_EQ(by_name["s"]["result"]["report"]["stream"]["previews"], 2) << by_name["s"].dump();
  // A member the model does not take is that image's result, not the run's end.
  EXPECT_EQ(by_name["t"]["result"]["code"], "INVALID_PARAMS") << by_name["t"].dump();
}

}  // namespace
}  // namespace zantrel::test_support
