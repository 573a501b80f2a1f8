#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include "tools/cli/core/exit_code.h"

#include <nlohmann/json.hpp>

namespace zantrel::cli {

// A batch run's images as one page for a browser, made from its result lines: totals at the
// top, filters by service and outcome, then a card per image (the image file itself as its
// thumbnail, with its prompt, model, size, tokens, cost, time and a link to the file) and per
// failure (its code and message). The newest line of an image stands (a resumed run's answer
// after an earlier failure). It works opened from file:// with no network: its style and
// script are in the page, and it loads nothing but the images beside it. `dir` is where the
// images are, for the prompts of lines that don't carry theirs (read from the files' own
// metadata).
std::string gallery_html(const std::vector<nlohmann::ordered_json>& lines,
                         const std::filesystem::path& dir);

// Writes DIR/index.html (atomically) from `results` (default DIR/results.jsonl); gives how many
// cards it holds. Throws std::runtime_error when the results can't be read or the page can't be
// written.
int write_gallery(const std::filesystem::path& dir,
                  const std::optional<std::filesystem::path>& results = std::nullopt);

// The page of a running batch: written again when the last writing is two seconds old (or ten
// times as long as it took), so that a browser's reload shows the run as it goes, and once more
// when the run ends. A page that can't be written is said once and costs the run nothing.
class GalleryPage {
 public:
  explicit GalleryPage(std::filesystem::path dir) : dir_(std::move(dir)) {}
  void refresh_if_due();
  void write();

 private:
  std::filesystem::path dir_;
  std::chrono::steady_clock::time_point next_{};
  bool warned_ = false;
};

// `zantrel-image gallery DIR [--results FILE]`: writes DIR/index.html from FILE (default
// DIR/results.jsonl). Exit 0, or 2 when the results can't be read.
ExitCode run_gallery(const std::string& dir, const std::optional<std::string>& results);

}  // namespace zantrel::cli
