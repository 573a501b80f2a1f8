#pragma once

#include <filesystem>

#include "tools/cli/core/call_setup.h"
#include "tools/cli/core/exit_code.h"
#include "tools/cli/jobs/job_record.h"

namespace zantrel::cli {

// Runs the calls of `o` as jobs the service holds: each recorded under the user's state folder
// before it is submitted and again once the service names it (the id printed on stderr at
// once), then, unless --detach, waited for and written as a direct run writes its images.
ExitCode run_jobs(const GenerateOptions& o, const CallSetup& setup, host::Dialect dialect);

// Waits for the job of `record` (saved at `path`), writes its image as the run that submitted it
// would have, and records how it ended. False when it did not end in a written image.
bool collect_recorded(const std::filesystem::path& path, JobRecord record, const CallSetup& setup,
                      host::Dialect dialect, bool json);

}  // namespace zantrel::cli
