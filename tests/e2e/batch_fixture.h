#pragma once

// What the batch runner's end-to-end tests share: a folder of their own, the emulator, a job
// file, the command and what it wrote. The folder must never hold the key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tools/cli/output/image_output.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/references.h"

namespace zantrel::test_support {

class BatchJobTest : public ::testing::Test {
 protected:
  using json = nlohmann::json;

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zantrel-batch-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    emulator_.reset();
    EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  void start_emulator(const std::string& mix) {
    emulator::EmulatorOptions options;
    options.scenario_mix = emulator::ScenarioMix::parse(mix);
    options.seed = 5;
    start_emulator(options);
  }
  void start_emulator(emulator::EmulatorOptions options) {
    options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }

  // Writes the job file; returns the good items as line -> n.
  std::map<int, int> write_jobs(const std::vector<std::string>& lines) const {
    std::ofstream out(dir_ / "jobs.jsonl");
    std::map<int, int> items;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      out << lines[i] << "\n";
      const json job = json::parse(lines[i], nullptr, false);
      if (!job.is_discarded() && !job.contains("bad")) items[static_cast<int>(i) + 1] = 1;
      if (!job.is_discarded() && job.contains("n")) items[static_cast<int>(i) + 1] = job["n"];
    }
    return items;
  }

  std::vector<std::string> command(std::vector<std::string> extra = {}) const {
    std::vector<std::string> argv = {ZANTREL_CLI_PATH,
                                     "batch",
                                     (dir_ / "jobs.jsonl").string(),
                                     "--out-dir",
                                     (dir_ / "out").string(),
                                     "--base-url",
                                     emulator_->base_url(),
                                     "--api-key",
                                     key_,
                                     "--allow-private-links"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }

  std::vector<json> results(const std::string& out = "out") const {
    std::vector<json> lines;
    std::ifstream in(dir_ / out / "results.jsonl");
    for (std::string text; std::getline(in, text);) lines.push_back(json::parse(text));
    return lines;
  }

  // Every image of `items` has exactly one result line (with `all_ok`, an ok one), and each ok
  // line's file holds the recorded bytes.
  void expect_each_once(const std::map<int, int>& items, bool all_ok) const {
    std::map<std::pair<int, int>, int> seen;
    for (const json& line : results()) {
      if (!line.contains("result")) continue;
      const bool ok = line["result"]["ok"] == true;
      if (all_ok && !ok) continue;
      ++seen[{line["line"].get<int>(), line["index"].get<int>()}];
      if (!ok) continue;
      const auto bytes = host::read_file_bytes((dir_ / "out" / line["file"]).string());
      EXPECT_EQ(cli::sha256_hex(bytes), line["result"]["sha256"]) << line.dump();
    }
    for (const auto& [line, n] : items) {
      for (int index = 1; index <= n; ++index) {
        EXPECT_EQ((seen[{line, index}]), 1) << "line " << line << " image " << index;
      }
    }
  }

  std::string key_ = make_canary_key();
  std::filesystem::path dir_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

}  // namespace zantrel::test_support
