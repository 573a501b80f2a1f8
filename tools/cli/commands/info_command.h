#pragma once

#include <string>

#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// `zantrel-image info FILE`: prints the metadata an image carries (its text, then its JSON);
// exit 1 when it carries none, 2 when the file can't be read.
ExitCode run_info(const std::string& path);

}  // namespace zantrel::cli
