#pragma once

// This process's memory as the kernel counts it, for the benchmarks that measure whole calls.

#include <cstring>
#include <fstream>
#include <string>

namespace zantrel::bench {

// A field of /proc/self/status in kB ("VmRSS:", "VmHWM:"); -1 when it is missing.
inline long status_kib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, n, field) == 0) return std::stol(line.substr(n + 1));
  }
  return -1;
}

// Resets the peak RSS counter (VmHWM) to the current RSS.
inline void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace zantrel::bench
