#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace zantrel::cli {

// DIR/results.jsonl: one JSON line per finished image, appended and flushed as each finishes,
// so that a crash loses nothing finished.
class ResultsFile {
 public:
  explicit ResultsFile(const std::filesystem::path& path);
  void append(const nlohmann::ordered_json& line);
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

// Calls `visit` with each line of a results file that is an object with a "line" (a line cut off
// by a crash is skipped), in order, one at a time. False when the file can't be opened.
bool each_result_line(const std::filesystem::path& file,
                      const std::function<void(const nlohmann::ordered_json&)>& visit);

// (line, index) of each image an earlier run finished: its result line says ok and its file is
// in `dir` with the recorded sha256. Unreadable lines (a run cut off while writing) are skipped.
std::set<std::pair<int, int>> finished_images(const std::filesystem::path& dir);

// "LINE-INDEX@BATCH" of each result an earlier run read from a provider batch, so that reading
// that batch again writes none twice.
std::set<std::string> batch_results_recorded(const std::filesystem::path& dir);

// Lines an earlier run already refused (so that a resumed run doesn't report them twice).
std::set<int> refused_lines(const std::filesystem::path& dir);

}  // namespace zantrel::cli
