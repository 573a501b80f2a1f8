#pragma once

#include <optional>
#include <string>

#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// `zantrel-image jobs`: the background calls recorded under the user's state folder.
struct JobsOptions {
  std::string action;  // "" (list), "collect" or "cancel"
  std::string id;      // the job's id (or its record's file name)
  bool all = false;    // collect: every job still to collect
  bool json = false;
  std::optional<std::string> base_url;  // else the record's address
  std::optional<std::string> api_key;   // else each service's environment
  bool allow_private_links = false;
  std::optional<std::string> ca_file;
};

ExitCode run_jobs_command(const JobsOptions& options);

}  // namespace zantrel::cli
