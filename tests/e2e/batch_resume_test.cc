// A batch resumed after its job file or its folder changed: images are matched by name and
// index, never by line, so nothing finished is bought again and nothing new is passed over;
// what the folder shows is said before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/batch_fixture.h"
#include "tests/support/run_process.h"

namespace zantrel::test_support {
namespace {

class BatchResume : public BatchJobTest {
 protected:
  std::vector<std::string> image_files() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "out")) {
      const std::string name = entry.path().filename().string();
      if (name.find(".png") != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

std::string job(const std::string& prompt, const std::string& more = "") {
  return R"({"service": "gemini", "prompt": ")" + prompt + "\"" + more + "}";
}

TEST_F(BatchResume, MatchesImagesByNameAndIndexAndSaysWhatItFound) {
  enum class Between { kNothing, kDeleteResults, kTearResults };
  const struct {
    const char* name;
    std::vector<std::string> first;   // the first run's job (none: no first run)
    std::vector<std::string> second;  // the job of the run looked at, with --resume
    Between between;
    int status;
    std::uint64_t sent;              // requests of the second run
    std::vector<std::string> said;   // on its stderr
    std::vector<std::string> files;  // image files in the folder after it (*: any 8 digits)
  } cases[] = {
      {"a line inserted at the top",
       {job("p1"), job("p2"), job("p3")},
       {job("p0"), job("p1"), job("p2"), job("p3")},
       Between::kNothing,
       0,
       1,
       {},
       {"1-*.png", "1.png", "2.png", "3.png"}},
      {"a line removed",
       {job("p1"), job("p2"), job("p3")},
       {job("p1"), job("p3")},
       Between::kNothing,
       0,
       0,
       {},
       {"1.png", "2.png", "3.png"}},
      {"lines reordered, named",
       {job("p1", R"(, "name": "fox")"), job("p2", R"(, "name": "owl", "n": 2)")},
       {job("p2", R"(, "name": "owl", "n": 3)"), job("p1", R"(, "name": "fox")")},
       Between::kNothing,
       0,
       1,
       {},
       {"fox.png", "owl-1.png", "owl-2.png", "owl-3.png"}},
      {"a name kept, its request changed",
       {job("p1", R"(, "name": "fox")")},
       {job("p9", R"(, "name": "fox")")},
       Between::kNothing,
       1,
       0,
       {"line 1: \"fox\" names fox.png, which an earlier run made from another request (its line "
        "1 then)"},
       {"fox.png"}},
      {"two lines of one name",
       {},
       {job("p1", R"(, "name": "a")"), job("p2", R"(, "name": "a")")},
       Between::kNothing,
       1,
       1,
       {"line 2: its image \"a\" is also line 1's; give one of them another \"name\""},
       {"a.png"}},
      {"a with n 2 beside a-2",
       {},
       {job("p1", R"(, "name": "a", "n": 2)"), job("p2", R"(, "name": "a-2")")},
       Between::kNothing,
       1,
       2,
       {"line 2: its image \"a-2\" is also line 1's"},
       {"a-1.png", "a-2.png"}},
      {"a name with a line break",
       {},
       {job("p1", R"(, "name": "a\nb")")},
       Between::kNothing,
       1,
       0,
       {"line 1: \"name\" must be a plain file stem"},
       {}},
      {"the results file deleted",
       {job("p1")},
       {job("p1")},
       Between::kDeleteResults,
       0,
       1,
       {"results.jsonl is missing, so nothing is known to be finished",
        "1.png was no recorded result; kept as "},
       {"1.png", "1.png.earlier"}},
      {"a torn results line",
       {job("p1"), job("p2")},
       {job("p1"), job("p2")},
       Between::kTearResults,
       0,
       0,
       {"1 line(s) of ", "can't be read (cut off or damaged) and are passed over"},
       {"1.png", "2.png"}},
  };
  start_emulator("normal:1");
  for (const auto& c : cases) {
    std::filesystem::remove_all(dir_ / "out");
    if (!c.first.empty()) {
      write_jobs(c.first);
      const auto first = run_process(command());
      ASSERT_EQ(first.status, 0) << c.name << ": " << first.err;
    }
    if (c.between == Between::kDeleteResults) std::filesystem::remove(dir_ / "out/results.jsonl");
    if (c.between == Between::kTearResults) {
      std::ofstream(dir_ / "out/results.jsonl", std::ios::app) << R"({"line": 3, "na)";
    }
    write_jobs(c.second);
    const auto before = emulator_->requests();
    const auto second = run_process(command({"--resume"}));
    EXPECT_EQ(second.status, c.status) << c.name << ": " << second.err;
    EXPECT_EQ(emulator_->requests() - before, c.sent) << c.name;
    for (const std::string& text : c.said) {
      EXPECT_NE(second.err.find(text), std::string::npos) << c.name << ": " << second.err;
    }
    const auto files =
        std::filesystem::exists(dir_ / "out") ? image_files() : std::vector<std::string>{};
    ASSERT_EQ(files.size(), c.files.size()) << c.name;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string& want = c.files[i];
      const auto star = want.find('*');
      if (star == std::string::npos) {
        EXPECT_EQ(files[i], want) << c.name;
      } else {
        EXPECT_TRUE(files[i].starts_with(want.substr(0, star)) &&
                    files[i].ends_with(want.substr(star + 1)) && files[i].size() == want.size() + 7)
            << c.name << ": " << files[i];
      }
    }
  }
}

// An answer that was only a link the run could not fetch is a failure that keeps the link; a
// resumed run fetches it (here once the link works) instead of buying the image again.
TEST_F(BatchResume, ARecordedLinkIsFetchedInsteadOfBoughtAgain) {
  start_emulator("missing-link:1");
  write_jobs({job("p1")});
  const auto first = run_process(command());
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_NE(first.err.find("the answer is only a link to the image, which could not be fetched"),
            std::string::npos)
      << first.err;
  ASSERT_EQ(results().size(), 1u);
  json line = results()[0];
  EXPECT_EQ(line["result"]["ok"], false);
  EXPECT_EQ(line["result"]["link"], emulator_->base_url() + "/files/missing");
  // The service's link, reachable now.
  line["result"]["link"] = emulator_->base_url() + "/files/0000000000000007-64x36.png";
  std::ofstream(dir_ / "out/results.jsonl") << line.dump() << "\n";

  const auto before = emulator_->requests();
  const auto resumed = run_process(command({"--resume"}));
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(emulator_->requests(), before);
  ASSERT_EQ(results().size(), 2u);
  EXPECT_EQ(results()[1]["result"]["ok"], true);
  EXPECT_EQ(results()[1]["from_link"], line["result"]["link"]);
  EXPECT_EQ(image_files(), std::vector<std::string>{"1.png"});
}

// Two runs on one folder: the second is refused, naming the first, and sends nothing.
TEST_F(BatchResume, ASecondRunOnTheSameFolderIsLockedOut) {
  start_emulator("small-delay:1500:1");
  write_jobs({job("p1"), job("p2")});
  std::string line;
  for (const std::string& word : command()) line += " '" + word + "'";
  const auto both =
      run_process({"/bin/sh", "-c",
                   line + " > /dev/null 2>&1 & sleep 0.5;" + line + "; echo \"second $?\"; wait"});
  EXPECT_NE(both.out.find("second 1"), std::string::npos) << both.out << both.err;
  EXPECT_NE(both.err.find("is in use by another run (pid "), std::string::npos) << both.err;
  EXPECT_NE(both.err.find(", batch, since "), std::string::npos) << both.err;
  EXPECT_EQ(emulator_->requests(), 2u);
  EXPECT_EQ(results().size(), 2u);
}

}  // namespace
}  // namespace zantrel::test_support
