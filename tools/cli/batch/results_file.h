#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/result_line.h"

namespace zantrel::cli {

// DIR/results.jsonl: one JSON line per finished image, appended and flushed as each finishes,
// so that a crash loses nothing finished.
class ResultsFile {
 public:
  // `secrets`: keys blanked from every line (a service may echo one in a text it sends).
  explicit ResultsFile(const std::filesystem::path& path, std::vector<std::string> secrets = {});
  void append(const nlohmann::ordered_json& line);
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::vector<std::string> secrets_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

// Calls `visit` with each line of a results file that reads as one (a line cut off by a crash
// is skipped), in order, one at a time. False when the file can't be opened.
bool each_result_line(const std::filesystem::path& file,
                      const std::function<void(const ResultLine&)>& visit);

// An image an earlier run finished: its result line says ok and its file is in the folder with
// the recorded sha256.
struct RecordedImage {
  std::string name;
  int index = 1;
  int line = 0;  // the job's line then
  // What the line asked (its digest) and whether it gave its name; empty and true for results
  // of runs that did not record them.
  std::string request;
  bool named = true;
  std::string file;
};

// What a folder's results file holds.
struct RecordedResults {
  bool exists = false;
  int unreadable = 0;  // lines cut off or damaged, passed over
  std::vector<RecordedImage> finished;
  int missing_files = 0;  // ok lines whose file is gone or changed: those images are made again
  std::set<std::string> files;  // every file a result line names
  // image_key -> the link of a failed line whose answer was only a link the run could not
  // fetch (the image was paid for: a resumed run fetches it rather than buy it again).
  std::map<std::string, std::string> links;
};
RecordedResults recorded_results(const std::filesystem::path& dir);

// "NAME#INDEX@BATCH" of each result an earlier run read from a provider batch, so that reading
// that batch again writes none twice.
std::set<std::string> batch_results_recorded(const std::filesystem::path& dir);

// (line, reason) of each refusal an earlier run recorded (so that a resumed run doesn't record
// it twice).
std::set<std::pair<int, std::string>> refusals_recorded(const std::filesystem::path& dir);

}  // namespace zantrel::cli
