#include "tests/support/run_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zantrel::testkit {
namespace {

// A new file under /tmp, by open(2) with O_EXCL: unlike mkstemp's, its descriptor is one the
// thread sanitizer sees created (it misreports descriptors it never saw made).
int create_temp(const char* kind, std::string& path) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = "/tmp/zantrel-" + std::string(kind) + "-" + std::to_string(entropy());
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv,
                          std::optional<std::chrono::milliseconds> interrupt_after,
                          const std::string& input) {
  std::string out_path, err_path, in_path;
  const int out_fd = create_temp("out", out_path);
  const int err_fd = create_temp("err", err_path);
  const int in_fd = create_temp("in", in_path);
  if (in_fd >= 0) {
    std::ofstream(in_path, std::ios::binary) << input;
    ::unlink(in_path.c_str());  // the descriptor keeps it readable
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&actions, in_fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, argv.front().c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (in_fd >= 0) ::close(in_fd);
  ::close(out_fd);
  ::close(err_fd);
  ProcessResult result;
  if (spawned == 0) {
    int status = 0;
    if (interrupt_after) {
      const auto when = std::chrono::steady_clock::now() + *interrupt_after;
      while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= when) {
          ::kill(pid, SIGINT);
          ::waitpid(pid, &status, 0);
          break;
        }
        ::usleep(10'000);
      }
    } else {
      ::waitpid(pid, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  ::unlink(out_path.c_str());
  ::unlink(err_path.c_str());
  if (spawned != 0) throw std::runtime_error("cannot start " + argv.front());
  return result;
}

}  // namespace zantrel::testkit
