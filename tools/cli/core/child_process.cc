#include "tools/cli/core/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zantrel::cli {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int status =
      ::posix_spawn(&pid_, argv.front().c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (status != 0) {
    ::close(pipe_fds[0]);
    pid_ = -1;
    throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(status));
  }
  stdout_fd_ = pipe_fds[0];
}

ChildProcess::~ChildProcess() {
  terminate();
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
}

std::string ChildProcess::read_line(std::chrono::milliseconds timeout) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{stdout_fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) == 0) {
      throw std::runtime_error("no output from the child process in time");
    }
    char c = 0;
    const ssize_t n = ::read(stdout_fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the child process ended before writing a line");
    if (c == '\n') return line;
    line += c;
  }
}

void ChildProcess::terminate() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace zantrel::cli
