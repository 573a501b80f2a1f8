#pragma once

#include "tools/cli/core/call_setup.h"
#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// Runs the generations (Gemini: one, or `count` at once on the library's event thread; images:
// one request for `count` images) through the client's entry and reports each image; returns
// the exit status (130 when interrupted).
ExitCode run_generate(const GenerateOptions& options);

}  // namespace zantrel::cli
