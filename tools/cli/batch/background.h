#pragma once

#include <filesystem>

#include "tools/cli/core/call_setup.h"

namespace zantrel::cli {

// Where a batch's image keeps the record of its job: DIR/jobs/<name>-<index>.json.
std::filesystem::path batch_job_record(const std::filesystem::path& dir, const std::string& name,
                                       int index);

// Makes one image of a batch as a job the service holds, `record` keeping it on disk before it
// is waited for: a job already recorded there as submitted (by a run that stopped) is collected,
// never submitted again; a record whose submit's answer was lost ends the image as failed
// without sending (the job may exist); else the record is written, the call submitted, the job
// recorded and collected. `done` gets the result on the library's event thread.
void start_batch_job(const GenerateOptions& call, const CallSetup& setup,
                     const std::filesystem::path& record, host::CallReport& report,
                     host::ResultCallback done);

}  // namespace zantrel::cli
