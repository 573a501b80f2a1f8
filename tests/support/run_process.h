#pragma once

#include <string>
#include <vector>

namespace zantrel::testing {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to completion and collects its exit status and output.
ProcessResult run_process(const std::vector<std::string>& argv);

}  // namespace zantrel::testing
