#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/cli/batch/record.h"

namespace zantrel::cli {

// What a run has to make, after what an earlier run in the same folder finished.
struct RunPlan {
  std::deque<Unit> pending;
  int finished = 0;  // images an earlier run made from the same request, kept
  // What was found in the folder that changes what is sent, one sentence each, said before
  // anything is sent.
  std::vector<std::string> notices;
  std::set<std::string> recorded_files;      // files the folder's results name
  std::map<std::string, std::string> links;  // see RecordedResults::links (with --resume)
};

// Matches the job's images with the folder's recorded results by name and index (never by line
// number, so that lines inserted or removed between runs change nothing):
// - an unnamed line takes the name its request's images were recorded under, or its line number
//   when that names no recorded image (else the line number and the request's first 8 digits);
// - a named line whose recorded image was made from another request is refused, saying which;
// - two lines whose files would share a name are refused (see refuse_colliding_stems).
// `resume`: false makes every image again (the folder's results only guard the names).
// Refused lines move from `jobs.items` to `jobs.refused`; the plan's units point into `jobs`.
RunPlan plan_run(Jobs& jobs, const std::filesystem::path& dir, bool resume);

// Moves each item `refuse` gives a reason for into the refused lines (kept in line order).
void refuse_items(Jobs& jobs,
                  const std::function<std::optional<std::string>(const BatchItem&)>& refuse);

// Refuses each line whose image names are another line's (two lines named "a", or "a" with
// n 2 beside a line named "a-2"), naming both; the first line keeps its names.
void refuse_colliding_stems(Jobs& jobs);

}  // namespace zantrel::cli
