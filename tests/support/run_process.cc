#include "tests/support/run_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "zantrel/host/files/new_file.h"

extern char** environ;

namespace zantrel::test_support {
namespace {

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
  const int out_fd = host::create_new_file("/tmp/zantrel-out-", 0600, out_path);
  const int err_fd = host::create_new_file("/tmp/zantrel-err-", 0600, err_path);
  const int in_fd = host::create_new_file("/tmp/zantrel-in-", 0600, in_path);
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

}  // namespace zantrel::test_support
