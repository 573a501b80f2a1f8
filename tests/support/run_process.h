#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zantrel::test_support {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to completion and collects its exit status and output; with `interrupt_after`,
// sends it SIGINT (Ctrl-C) once that long has passed. `input` is its standard input.
ProcessResult run_process(const std::vector<std::string>& argv,
                          std::optional<std::chrono::milliseconds> interrupt_after = {},
                          const std::string& input = {});

}  // namespace zantrel::test_support
