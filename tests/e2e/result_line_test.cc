// The results file's one schema: what the run writes reads back as written, and lines from
// elsewhere (wrong types, no line number) read as absent members or not at all.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/result_line.h"

namespace zantrel::test_support {
namespace {

using json = nlohmann::ordered_json;

TEST(ResultLine, WrittenLinesReadBackAndStrangeOnesReadAsAbsent) {
  cli::ResultLine written;
  written.line = 3;
  written.name = "cat";
  written.index = 2;
  written.named = false;
  written.service = "images";
  written.file = "cat-2.png";
  written.via = "provider";
  written.batch = "batch_1";
  const json report = {{"ok", true},
                       {"sha256", "ab"},
                       {"report",
                        {{"model_sent", "gpt-image-2"},
                         {"image", {{"width", 64}, {"height", 36}}},
                         {"cost", {{"usd", 0.04}, {"prices_as_of", "2026-12-01"}}}}}};
  const json text = cli::to_json(written, report);
  // The keys' order is the file's: the line's own members, its outcome, where it came from.
  std::vector<std::string> keys;
  for (const auto& [key, value] : text.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"line", "name", "index", "named", "request", "service",
                                            "prompt", "at", "file", "result", "via", "batch"}));
  const auto read = cli::read_result_line(text);
  ASSERT_TRUE(read && read->result);
  EXPECT_EQ(cli::to_json(*read, report), text);
  EXPECT_EQ(read->result->model_sent, "gpt-image-2");
  EXPECT_EQ(read->result->width, 64);
  EXPECT_EQ(read->result->cost_usd, 0.04);

  cli::ResultLine refused;
  refused.line = 4;
  refused.error = "bad";
  EXPECT_EQ(cli::to_json(refused), (json{{"line", 4}, {"error", "bad"}}));

  const struct {
    const char* text;
    bool reads;
    int index;
    bool has_result;
    bool has_width;
  } cases[] = {
      {R"({"line":1,"name":"a","result":{"ok":true}})", true, 1, true, false},
      {R"({"line":"1","name":"a"})", false, 0, false, false},
      {R"({"name":"a"})", false, 0, false, false},
      {R"([1,2])", false, 0, false, false},
      {R"({"line":2,"index":"3","result":"ok"})", true, 1, false, false},
      {R"({"line":2,"index":3,"result":{"report":{"image":{"width":-5,"height":1e13}}}})", true, 3,
       true, false},
      {R"({"line":2,"result":{"report":{"image":{"width":"64"}}}})", true, 1, true, false},
  };
  for (const auto& c : cases) {
    const auto line = cli::read_result_line(json::parse(c.text));
    ASSERT_EQ(line.has_value(), c.reads) << c.text;
    if (!line) continue;
    EXPECT_EQ(line->index, c.index) << c.text;
    EXPECT_EQ(line->result.has_value(), c.has_result) << c.text;
    if (line->result) {
      EXPECT_EQ(line->result->width.has_value(), c.has_width) << c.text;
    }
  }
}

}  // namespace
}  // namespace zantrel::test_support
