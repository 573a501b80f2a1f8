#pragma once

#include "tools/cli/commands/batch_command.h"
#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// `zantrel-image batch-status DIR`: each recorded batch's state, counts, age and estimated
// completion, as its service tells now.
ExitCode run_batch_status(const BatchOptions& options);
// `zantrel-image batch-cancel DIR`: asks the service to cancel every batch still running.
ExitCode run_batch_cancel(const BatchOptions& options);

}  // namespace zantrel::cli
