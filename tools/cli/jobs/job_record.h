#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/jobs/job.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::cli {

// One background call of the command line, as recorded on disk under the user's state folder
// before the call waits, so that a later run collects the job instead of paying for it again.
struct JobRecord {
  // "submitting": written before the submit (a record left so may mean a job that was made but
  //   never named: neither service lists its jobs, so it can't be looked up);
  // "submitted": the service named the job; "collected", "failed", "cancelled": ended.
  std::string state = "submitting";
  host::Service service = host::Service::kGemini;
  std::optional<host::JobRef> job;
  std::string base_url;  // where the service was reached (never its key)
  std::string output;    // the file the image goes to; empty: the default name when collected
  std::string prompt;    // for the image's facts
  std::string model;
  std::string aspect_ratio;
  std::string created;  // RFC 3339
  std::string written;  // the file written, once collected
  std::string error;    // why it failed

  nlohmann::ordered_json to_json() const;
  // Throws InvalidArgument naming what is wrong.
  static JobRecord from_json(const nlohmann::json& value);
};

// $XDG_STATE_HOME/zantrel/jobs, else ~/.local/state/zantrel/jobs.
std::filesystem::path jobs_folder();

// A new record's file in `folder` (made when missing): unique, named by the time.
std::filesystem::path new_record_path(const std::filesystem::path& folder);

// Writes the record whole or not at all (a file beside it, synced, renamed over it).
void write_record(const std::filesystem::path& path, const JobRecord& record);

// Every record of `folder`, oldest first; one that can't be read is named in `unreadable`.
struct RecordFile {
  std::filesystem::path path;
  JobRecord record;
};
std::vector<RecordFile> read_records(const std::filesystem::path& folder,
                                     std::vector<std::string>* unreadable = nullptr);

}  // namespace zantrel::cli
