#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zantrel::cli {

// A child process whose standard output is piped to us; terminated (SIGTERM, then SIGKILL)
// and reaped when this object goes.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The first line the child writes, without its newline; throws on time-out or end of output.
  std::string read_line(std::chrono::milliseconds timeout);
  void terminate();

 private:
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
};

}  // namespace zantrel::cli
