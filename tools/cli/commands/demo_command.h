#pragma once

#include <string>
#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// Starts zantrel-emulator as a child on a free port, generates one image with each client
// (the second edits the first), prints where they are and stops the emulator.
ExitCode run_demo(const std::string& out_dir, const std::string& emulator_path);

// The emulator binary: $ZANTREL_EMULATOR, else beside this program, else in the build tree's
// tools/emulator folder.
std::string find_emulator();

}  // namespace zantrel::cli
