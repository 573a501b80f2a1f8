// `zantrel-image models` and `--catalogue`: the README's table is the catalogue's, and a host's
// catalogue file decides what the CLI takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/run_process.h"
#include "tools/cli/commands/models_command.h"

namespace zantrel::test_support {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ModelsCommand, TheReadmesTableIsTheCatalogues) {
  const std::string readme = read_file(ZANTREL_README);
  const std::string begin = "<!-- models:begin -->\n";
  const auto from = readme.find(begin);
  const auto to = readme.find("<!-- models:end -->");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(readme.substr(from + begin.size(), to - from - begin.size()),
            cli::models_table(host::ModelCatalogue::builtin(), cli::ModelsFormat::kMarkdown))
      << "regenerate with: zantrel-image models --markdown";
  const auto run = run_process({ZANTREL_CLI_PATH, "models"});
  EXPECT_EQ(run.status, 0);
  // Current models come first, those shut down after, with their replacements and sources.
  EXPECT_LT(run.out.find("gemini-3-pro-image  (gemini, current, built in)"),
            run.out.find("gemini-3-pro-image-preview  (gemini, shut down 2026-06-25, use "
                         "gemini-3-pro-image, built in)"));
}

TEST(ModelsCommand, AHostsCatalogueFileDecidesAndABadOneIsAUsageError) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-models-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string good = (dir / "good.json").string();
  const std::string bad = (dir / "bad.json").string();
  std::ofstream(good) << R"({"models": [{"name": "house-image", "service": "gemini",
                             "aspect_ratios": ["1:1"], "image_sizes": ["1K"]}]})";
  std::ofstream(bad) << R"({"models": [{"name": "x", "service": "video"}]})";
  const auto listed = run_process({ZANTREL_CLI_PATH, "--catalogue", good, "models", "--json"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_NE(listed.out.find("\"house-image\""), std::string::npos);
  EXPECT_EQ(listed.out.find("gemini-3-pro-image"), std::string::npos);
  // Refused before any address is looked at: the model is not in the host's catalogue.
  const auto refused = run_process({ZANTREL_CLI_PATH, "gemini", "--catalogue", good, "--prompt",
                                    "x", "--aspect-ratio", "1:1", "--model", "gemini-3-pro-image",
                                    "--base-url", "http://127.0.0.1:9", "--api-key", "k"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("Invalid model: gemini-3-pro-image"), std::string::npos)
      << refused.out << refused.err;
  const auto broken = run_process({ZANTREL_CLI_PATH, "--catalogue", bad, "models"});
  EXPECT_EQ(broken.status, 2);
  EXPECT_NE(broken.err.find("model catalogue entry 0: \"service\" must be \"gemini\" or "
                            "\"images\""),
            std::string::npos)
      << broken.err;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
