// A batch's gallery page as a browser shows it: headless Chromium opens it from file://, counts
// its cards, checks that every thumbnail loaded, tries the filters and takes a screenshot.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/batch_fixture.h"
#include "tests/support/run_process.h"
#include "tools/cli/commands/gallery_command.h"
#include "zantrel/host/images/image_header.h"

namespace zantrel::test_support {
namespace {

using json = nlohmann::json;

class Gallery : public BatchJobTest {
 protected:
  // Chromium with a profile of its own (tests run side by side) and file:// pages allowed to
  // read each other (the probe reads the gallery in its frame).
  ProcessResult chromium(std::vector<std::string> args) const {
    std::vector<std::string> argv = {ZANTREL_CHROMIUM,
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--no-first-run",
                                     "--hide-scrollbars",
                                     "--allow-file-access-from-files",
                                     "--user-data-dir=" + (dir_ / "profile").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
  }
};

// The text of an element as a dumped DOM writes it.
std::string unescaped(std::string text) {
  using Entity = std::pair<std::string_view, std::string_view>;
  for (const auto& [entity, c] : std::array<Entity, 5>{
           {{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}, {"&amp;", "&"}}}) {
    for (auto at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, entity.size(), c);
    }
  }
  return text;
}

// Loads the gallery in a frame tall enough for every thumbnail, then reports what it holds and
// what each filter leaves shown.
constexpr const char* kProbe = R"(<!DOCTYPE html><html><body>
<iframe id="g" src="index.html" style="width:1280px;height:20000px"></iframe>
<pre id="probe"></pre>
<script>
document.getElementById('g').addEventListener('load', async () => {
  const doc = document.getElementById('g').contentDocument;
  const images = [...doc.querySelectorAll('.card img')];
  // Each thumbnail decoded, or given up on after a while (virtual time: no real wait).
  const settle = i => Promise.race([i.decode().catch(() => {}),
                                    new Promise(done => setTimeout(done, 8000))]);
  await Promise.all(images.map(settle));
  const shown = () => [...doc.querySelectorAll('.card')].filter(c => !c.hidden).length;
  const press = (filter, value) =>
      doc.querySelector(`button[data-filter="${filter}"][data-value="${value}"]`).click();
  const report = {
    cards: doc.querySelectorAll('.card').length,
    failures: doc.querySelectorAll('.card.failed').length,
    images: images.length,
    loaded: images.filter(i => i.complete && i.naturalWidth > 0).length,
    scripts: doc.querySelectorAll('script').length,
    totals: doc.querySelector('.totals').textContent,
  };
  press('outcome', 'failed');
  report.shown_failed = shown();
  press('outcome', 'all');
  press('service', 'images');
  report.shown_images = shown();
  document.getElementById('probe').textContent = JSON.stringify(report);
});
</script></body></html>)";

TEST_F(Gallery, EveryImageAndFailureIsACardThatABrowserShows) {
  if (std::string(ZANTREL_CHROMIUM).empty()) GTEST_SKIP() << "chromium is not installed";
  start_emulator("small-delay:20:4,status:503:1");
  std::vector<std::string> lines;
  const char* formats[] = {"png", "jpeg", "webp"};
  for (int i = 0; i < 18; ++i) {
    json job = {{"service", i % 2 == 0 ? "gemini" : "images"},
                {"prompt", "a lighthouse at dusk, study " + std::to_string(i)}};
    if (i % 2 == 1) job["output_format"] = formats[(i / 2) % 3];
    lines.push_back(job.dump());
  }
  // A prompt that is markup stays text; a name with characters a link must encode still
  // names its file.
  lines[2] = json{{"service", "gemini"},
                  {"prompt", "<script>document.title='x'</script><b>bold</b> & \"quoted\""}}
                 .dump();
  lines[4] = json{{"service", "gemini"}, {"prompt", "odd name"}, {"name", "a b#1 %41?"}}.dump();
  lines.push_back(R"({"service":"images"})");  // refused: listed below the cards
  write_jobs(lines);
  const auto run = run_process(command({"--retry", "1"}));
  ASSERT_NE(run.status, 2) << run.err;
  const std::filesystem::path out = dir_ / "out";
  EXPECT_NE(run.out.find("gallery: " + (out / "index.html").string()), std::string::npos)
      << run.out;

  int ok = 0, failed = 0, from_images = 0;
  for (const json& line : results()) {
    if (!line.contains("result")) continue;
    (line["result"]["ok"] == true ? ok : failed) += 1;
    from_images += line["service"] == "images";
  }
  ASSERT_EQ(ok + failed, 18);
  ASSERT_GT(ok, 0);

  std::ofstream(out / "probe.html") << kProbe;
  const auto probe = chromium(
      {"--virtual-time-budget=20000", "--dump-dom", "file://" + (out / "probe.html").string()});
  ASSERT_EQ(probe.status, 0) << probe.err;
  const std::string open = "<pre id=\"probe\">";
  const auto from = probe.out.find(open);
  const auto to = probe.out.find("</pre>", from);
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos && to > from + open.size())
      << probe.out.substr(0, 2000) << probe.err;
  const json report =
      json::parse(unescaped(probe.out.substr(from + open.size(), to - from - open.size())));
  EXPECT_EQ(report["cards"], 18) << report.dump();
  EXPECT_EQ(report["failures"], failed) << report.dump();
  EXPECT_EQ(report["images"], ok) << report.dump();
  EXPECT_EQ(report["loaded"], ok) << report.dump();  // every thumbnail found and decoded
  EXPECT_EQ(report["scripts"], 1) << report.dump();  // the prompt's markup is text
  EXPECT_EQ(report["shown_failed"], failed) << report.dump();
  EXPECT_EQ(report["shown_images"], from_images) << report.dump();
  EXPECT_NE(report["totals"].get<std::string>().find(std::to_string(ok) + " images"),
            std::string::npos)
      << report.dump();
  EXPECT_NE(report["totals"].get<std::string>().find("total about $"), std::string::npos)
      << report.dump();

  // The page again from the same results, by the gallery command: the same page.
  std::stringstream batch_page;
  batch_page << std::ifstream(out / "index.html").rdbuf();
  std::filesystem::remove(out / "index.html");
  const auto again = run_process({ZANTREL_CLI_PATH, "gallery", out.string()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("18 cards"), std::string::npos) << again.out;
  std::stringstream page;
  page << std::ifstream(out / "index.html").rdbuf();
  EXPECT_EQ(page.str(), batch_page.str());

  // The screenshot the README shows, when asked for one.
  const char* wanted = std::getenv("ZANTREL_GALLERY_SCREENSHOT");
  const std::filesystem::path shot =
      wanted != nullptr ? std::filesystem::path(wanted) : dir_ / "gallery.png";
  const auto taken = chromium({"--window-size=1280,900", "--virtual-time-budget=5000",
                               "--screenshot=" + std::filesystem::absolute(shot).string(),
                               "file://" + (out / "index.html").string()});
  ASSERT_EQ(taken.status, 0) << taken.err;
  const auto size = host::read_image_dimensions(host::read_file_bytes(shot.string()));
  ASSERT_TRUE(size);
  EXPECT_EQ(*size, (host::ImageDimensions{1280, 900}));
}

// Lines of any shape (another tool's, a hand-edited file) give a page, the newest line of an image
// standing; none stops it.
TEST(GalleryPage, LinesOfAnyShapeGiveAPage) {
  using ojson = nlohmann::ordered_json;
  const auto ok = [](int line, int index, const char* at) {
    return ojson{{"line", line},    {"index", index}, {"service", "gemini"},
                 {"file", "a.png"}, {"at", at},       {"result", {{"ok", true}}}};
  };
  struct Case {
    std::vector<ojson> lines;
    int cards;
    int failed;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0},
      {{ok(1, 1, "first"), ok(1, 1, "second")}, 1, 0},
      {{ojson{{"line", 1}, {"result", {{"ok", false}, {"code", "SERVICE_TIMEOUT"}}}},
        ok(1, 1, "b")},
       1,
       0},
      {{ojson{{"line", "x"}, {"result", {}}}, ojson::array({1, 2}), ojson("text")}, 0, 0},
      {{ojson{{"line", 2}, {"index", "two"}, {"result", {{"ok", "yes"}}}}}, 1, 1},
      {{ojson{{"line", 3},
              {"result", {{"ok", true}, {"report", {{"image", {{"width", 1e300}}}}}}}}},
       1,
       0},
      {{ojson{{"line", 4}, {"error", "line 4: bad"}}}, 0, 0},
      {{ojson{{"line", 5}, {"result", {{"ok", true}, {"link", "https://x.test/a.png"}}}}}, 1, 0},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string page = cli::gallery_html(cases[i].lines, "/nowhere");
    const auto count = [&](const std::string& what) {
      int n = 0;
      for (auto at = page.find(what); at != std::string::npos; at = page.find(what, at + 1)) ++n;
      return n;
    };
    EXPECT_EQ(count("<figure class=\"card"), cases[i].cards) << "case " << i;
    EXPECT_EQ(count("<figure class=\"card failed"), cases[i].failed) << "case " << i;
  }
  EXPECT_NE(cli::gallery_html(cases[1].lines, "/nowhere").find("second"), std::string::npos);
  EXPECT_NE(cli::gallery_html(cases[6].lines, "/nowhere").find("line 4: bad"), std::string::npos);
  EXPECT_NE(cli::gallery_html(cases[7].lines, "/nowhere").find("href=\"https://x.test/a.png\""),
            std::string::npos);
}

TEST(GalleryCommand, AMissingResultsFileIsAUsageError) {
  const auto run = run_process({ZANTREL_CLI_PATH, "gallery", "/no/such/folder"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("cannot read /no/such/folder/results.jsonl"), std::string::npos)
      << run.err;
}

}  // namespace
}  // namespace zantrel::test_support
