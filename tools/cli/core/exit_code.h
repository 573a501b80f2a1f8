#pragma once

namespace zantrel::cli {

// What a command's process exits with: 1 when a call failed, 2 when the command line or its
// input was refused before anything was sent, 130 when interrupted (as a shell reports SIGINT).
enum class ExitCode { kSuccess = 0, kFailedResult = 1, kUsageError = 2, kInterrupted = 130 };

}  // namespace zantrel::cli
