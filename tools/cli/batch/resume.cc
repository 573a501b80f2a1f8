#include "tools/cli/batch/resume.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "tools/cli/batch/results_file.h"

namespace zantrel::cli {
namespace {

// Gives each unnamed line the name its request's images were recorded under: its own line
// number when that was one of them (nothing moved), else the first such name no other line
// took. A line with none keeps its number, unless that names recorded images or another
// line's: then the number and its request's first digits.
void name_unnamed_lines(Jobs& jobs, const std::vector<RecordedImage>& recorded) {
  std::map<std::string, std::vector<std::string>> names_of_request;  // in recorded line order
  std::set<std::string> recorded_names;
  std::vector<const RecordedImage*> unnamed;
  for (const RecordedImage& image : recorded) {
    recorded_names.insert(image.name);
    if (!image.named && !image.request.empty()) unnamed.push_back(&image);
  }
  std::stable_sort(unnamed.begin(), unnamed.end(),
                   [](const auto* a, const auto* b) { return a->line < b->line; });
  for (const RecordedImage* image : unnamed) {
    auto& names = names_of_request[image->request];
    if (std::find(names.begin(), names.end(), image->name) == names.end()) {
      names.push_back(image->name);
    }
  }
  std::set<std::string> claimed;
  std::vector<BatchItem*> unplaced;
  for (BatchItem& item : jobs.items) {
    if (item.named) {
      claimed.insert(item.name);
      continue;
    }
    const auto& names = names_of_request[item.request];
    if (std::find(names.begin(), names.end(), item.name) != names.end()) {
      claimed.insert(item.name);
    } else {
      unplaced.push_back(&item);
    }
  }
  for (BatchItem* item : unplaced) {
    const auto& names = names_of_request[item->request];
    const auto free = std::find_if(names.begin(), names.end(), [&](const std::string& name) {
      return !claimed.contains(name);
    });
    if (free != names.end()) {
      item->name = *free;
    } else if (recorded_names.contains(item->name) || claimed.contains(item->name)) {
      item->name += "-" + item->request.substr(0, 8);
    }
    claimed.insert(item->name);
  }
}

}  // namespace

void refuse_items(Jobs& jobs,
                  const std::function<std::optional<std::string>(const BatchItem&)>& refuse) {
  std::vector<BatchItem> kept;
  for (BatchItem& item : jobs.items) {
    if (auto reason = refuse(item)) {
      jobs.refused.emplace_back(item.line, std::move(*reason));
    } else {
      kept.push_back(std::move(item));
    }
  }
  jobs.items = std::move(kept);
  std::stable_sort(jobs.refused.begin(), jobs.refused.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

void refuse_colliding_stems(Jobs& jobs) {
  std::map<std::string, const BatchItem*> owner;
  std::map<int, std::string> reasons;
  for (const BatchItem& item : jobs.items) {
    for (int index = 1; index <= item.count; ++index) {
      const std::string stem = image_stem(item, index);
      const auto [at, fresh] = owner.emplace(stem, &item);
      if (fresh || at->second == &item) continue;
      reasons.emplace(item.line, "line " + std::to_string(item.line) + ": its image \"" + stem +
                                     "\" is also line " + std::to_string(at->second->line) +
                                     "'s; give one of them another \"name\"");
      break;
    }
  }
  refuse_items(jobs, [&](const BatchItem& item) -> std::optional<std::string> {
    const auto found = reasons.find(item.line);
    if (found == reasons.end()) return std::nullopt;
    return found->second;
  });
}

RunPlan plan_run(Jobs& jobs, const std::filesystem::path& dir, bool resume) {
  RunPlan plan;
  const RecordedResults results = recorded_results(dir);
  if (results.unreadable > 0) {
    plan.notices.push_back(std::to_string(results.unreadable) + " line(s) of " +
                           (dir / "results.jsonl").string() +
                           " can't be read (cut off or damaged) and are passed over");
  }
  if (resume && !results.exists) {
    plan.notices.push_back("--resume: " + (dir / "results.jsonl").string() +
                           " is missing, so nothing is known to be finished: every image is made, "
                           "and an image file already there is kept as FILE.earlier");
  }
  if (resume && results.missing_files > 0) {
    plan.notices.push_back(std::to_string(results.missing_files) +
                           " recorded image(s) are missing or changed in " + dir.string() +
                           " and are made again");
  }
  plan.recorded_files = results.files;
  if (resume) plan.links = results.links;
  name_unnamed_lines(jobs, results.finished);
  std::map<std::pair<std::string, int>, const RecordedImage*> by_key;
  for (const RecordedImage& image : results.finished) by_key[{image.name, image.index}] = &image;
  // A named line whose recorded images came from another request is not this line's: making
  // it would replace them, skipping it would call them its own.
  refuse_items(jobs, [&](const BatchItem& item) -> std::optional<std::string> {
    for (int index = 1; index <= item.count; ++index) {
      const auto found = by_key.find({item.name, index});
      if (found == by_key.end() || found->second->request.empty() ||
          found->second->request == item.request) {
        continue;
      }
      return "line " + std::to_string(item.line) + ": \"" + item.name + "\" names " +
             found->second->file + ", which an earlier run made from another request (its line " +
             std::to_string(found->second->line) +
             " then); give this line another \"name\", or move that image and its results away";
    }
    return std::nullopt;
  });
  refuse_colliding_stems(jobs);
  for (const BatchItem& item : jobs.items) {
    for (int index = 1; index <= item.count; ++index) {
      if (resume && by_key.contains({item.name, index})) {
        ++plan.finished;
      } else {
        plan.pending.push_back({&item, index, 0});
      }
    }
  }
  return plan;
}

}  // namespace zantrel::cli
