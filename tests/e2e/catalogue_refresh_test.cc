// The catalogue against an emulator whose services launched and withdrew models: a refresh
// writes the user's cache and later runs use it; a refresh that fails keeps it; names the
// catalogue lacks, retired ones and the 2.6 members reach the service as they should.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/model_lineup.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::test_support {
namespace {

using json = nlohmann::json;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class CatalogueRefresh : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = make_canary_key();
    emulator::EmulatorOptions options;
    options.api_key = key_;
    options.dialect = emulator::AcceptedDialect::kDirect;
    options.scenario = *emulator::Scenario::parse("new-models");
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
    dir_ =
        std::filesystem::temp_directory_path() / ("zantrel-refresh-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_EQ(leaking_files(dir_, key_), std::vector<std::string>{});
    std::filesystem::remove_all(dir_);
  }

  // The CLI with its own cache folder, against the emulator in the direct dialect.
  ProcessResult cli(std::vector<std::string> args, const std::string& key) {
    std::vector<std::string> argv = {"/usr/bin/env", "XDG_CACHE_HOME=" + (dir_ / "cache").string(),
                                     ZANTREL_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--base-url", emulator_->base_url(), "--api-key", key, "--dialect",
                             "direct", "--allow-private-links"});
    ProcessResult run = run_process(argv);
    EXPECT_FALSE(leaks(run.out + run.err, key_));
    return run;
  }

  std::string key_;
  std::unique_ptr<emulator::Emulator> emulator_;
  std::filesystem::path dir_;
};

TEST_F(CatalogueRefresh, ARefreshIsCachedUsedAndKeptWhenTheNextOneFails) {
  const std::string today = host::utc_day();
  const auto refreshed = cli({"models", "--refresh", "--diff"}, key_);
  ASSERT_EQ(refreshed.status, 0) << refreshed.err;
  for (const std::string& launched : emulator::ModelLineup::launched()) {
    EXPECT_NE(refreshed.out.find(launched + ": listed by the service on " + today +
                                 ", capabilities unknown; added"),
              std::string::npos)
        << refreshed.out;
  }
  for (const std::string& withdrawn : emulator::ModelLineup::withdrawn()) {
    EXPECT_NE(refreshed.out.find(withdrawn + ": not listed on " + today), std::string::npos)
        << refreshed.out;
  }
  // Text models are listed too, and left out.
  EXPECT_EQ(refreshed.out.find("gemini-3-flash"), std::string::npos);
  const std::filesystem::path cache = dir_ / "cache" / "zantrel" / "catalogue.json";
  const std::string cached = read_file(cache);
  const json document = json::parse(cached);
  EXPECT_EQ(document["refreshed_on"], today);
  EXPECT_EQ(document["listings"].size(), 2U);

  // Later runs read the cache: the launch is listed with its source and goes out unchecked.
  const auto listed = cli({"models"}, key_);
  EXPECT_NE(listed.out.find("gemini-nano-banana-2.2-preview  (gemini, current, listed by the "
                            "service " +
                            today + ")"),
            std::string::npos)
      << listed.out;
  const auto call = cli({"gemini", "--prompt", "a fox", "--model", "gemini-nano-banana-2.2-preview",
                         "--aspect-ratio", "4:1", "--json", "--out", (dir_ / "fox.png").string()},
                        key_);
  ASSERT_EQ(call.status, 0) << call.out << call.err;
  EXPECT_EQ(json::parse(call.out)["report"]["model_note"],
            "listed by the service on " + today + ", capabilities unknown; sent unchecked");

  // A refresh the service refuses says why and leaves the cache as it was.
  const auto refused = cli({"models", "--refresh"}, "not-the-key");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("refresh failed: gemini: HTTP 400: API key not valid"),
            std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("the previous catalogue is kept"), std::string::npos);
  EXPECT_EQ(read_file(cache), cached);
}

TEST_F(CatalogueRefresh, NamesAndMembersReachTheServiceAsTheCatalogueDecides) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* said;   // on the line printed
    const char* magic;  // the file's first bytes, when one is written
  } runs[] = {
      {{"gemini", "--model", "gemini-nano-banana-2.1", "--aspect-ratio", "1:8", "--image-size",
        "2K", "--thinking-level", "medium"},
       0,
       "256x2048 PNG",
       "\x89PNG"},
      // Unknown to the catalogue: sent as asked; the service's own answer is the result.
      {{"gemini", "--model", "gemini-nano-banana-9"},
       1,
       "is not found for API version v1beta",
       nullptr},
      {{"gemini", "--model", "gemini-nano-banana-9"},
       1,
       "not in the catalogue of 2026-12-10; sent unchecked",
       nullptr},
      {{"images", "--model", "gpt-image-1", "--aspect-ratio", "3:2"},
       0,
       "gpt-image-1 was retired on 2026-10-23; sent as gpt-image-2.5-sunburst",
       "\x89PNG"},
      {{"images", "--model", "gpt-image-2.6-sunburst", "--quality", "xhigh", "--complexity", "low",
        "--output-format", "gif"},
       0,
       " GIF, ",
       "GIF89a"},
      {{"images", "--model", "gpt-image-2.6-flare", "--output-format", "svg"},
       0,
       " SVG+XML, ",
       "<svg"},
      {{"images", "--model", "gpt-image-2", "--quality", "max"},
       1,
       "quality max is not taken; it takes low, medium, high, auto",
       nullptr},
      // A launch no refresh has told of yet: unchecked, and served.
      {{"images", "--model", "gpt-image-2.7-ember", "--quality", "max"},
       0,
       "not in the catalogue of 2026-12-10; sent unchecked",
       nullptr},
  };
  int k = 0;
  for (const auto& run : runs) {
    const std::filesystem::path out = dir_ / ("image-" + std::to_string(++k));
    std::vector<std::string> args = run.args;
    args.insert(args.end(), {"--prompt", "a harbour", "--out", out.string()});
    const auto done = cli(args, key_);
    const std::string where = run.args[0] + " " + run.args[2];
    EXPECT_EQ(done.status, run.status) << where << done.out << done.err;
    EXPECT_NE((done.out + done.err).find(run.said), std::string::npos)
        << where << ": " << done.out << done.err;
    if (run.magic != nullptr) {
      EXPECT_EQ(read_file(out).rfind(run.magic, 0), 0U) << where;
    }
  }
}

}  // namespace
}  // namespace zantrel::test_support
