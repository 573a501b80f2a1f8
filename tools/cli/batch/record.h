#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/job.h"
#include "tools/cli/batch/progress.h"
#include "tools/cli/batch/results_file.h"
#include "tools/cli/commands/gallery_command.h"
#include "zantrel/host/base/dialect.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::cli {

// The lines of a job file: the usable items, and the refused lines with their reasons.
struct Jobs {
  std::vector<BatchItem> items;
  std::vector<std::pair<int, std::string>> refused;  // line, reason
};
// Throws when the file can't be read.
Jobs read_jobs(const std::string& path);

// One image of an item.
struct Unit {
  const BatchItem* item = nullptr;
  int index = 1;
  int requeued = 0;
};

// Writes each finished image of a run into its folder (atomically) and appends its result
// line, whichever way the image was made, and counts it in the run's tally; the run's gallery
// page, when there is one, is brought up to date now and then.
class ResultWriter {
 public:
  // `metadata`: each image carries its facts (image_facts) in its file.
  ResultWriter(std::filesystem::path dir, ResultsFile& results, BatchTally& tally,
               bool metadata = true, GalleryPage* gallery = nullptr)
      : dir_(std::move(dir)),
        results_(results),
        tally_(tally),
        metadata_(metadata),
        gallery_(gallery) {}

  // Files the folder's results name: a file by another name already in the folder is no
  // earlier result, and is moved aside (FILE.earlier) rather than replaced.
  void keep_unrecorded_files(std::set<std::string> recorded) { recorded_ = std::move(recorded); }

  // Where an answer came from when no direct call gave it: the provider batch it was read
  // from, or the link an earlier run recorded and this one fetched.
  struct Origin {
    std::string batch_id;
    std::string from_link;
  };
  void record(const Unit& unit, const host::ServiceResult& result, host::Dialect dialect,
              const host::CallReport& report, const Origin& origin = {});

 private:
  void move_aside_if_unrecorded(const std::string& name);

  std::filesystem::path dir_;
  ResultsFile& results_;
  BatchTally& tally_;
  bool metadata_;
  GalleryPage* gallery_;
  std::optional<std::set<std::string>> recorded_;
};

}  // namespace zantrel::cli
