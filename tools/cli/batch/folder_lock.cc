#include "tools/cli/batch/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::cli {

std::variant<FolderLock, std::string> FolderLock::take(const std::filesystem::path& dir,
                                                       const std::string& command) {
  const std::filesystem::path path = dir / "run.lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return "cannot open " + path.string() + ": " + std::strerror(errno);
  FolderLock lock(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK) return "cannot lock " + path.string() + ": " + std::strerror(error);
    char holder[256] = {};
    const ssize_t got = ::pread(fd, holder, sizeof holder - 1, 0);
    std::string who = got > 0 ? std::string(holder, static_cast<std::size_t>(got)) : "";
    while (!who.empty() && (who.back() == '\n' || who.back() == '\r')) who.pop_back();
    return dir.string() + " is in use by another run (" + (who.empty() ? "unknown" : who) +
           "); wait for it to end, or use another folder";
  }
  const std::string holder = "pid " + std::to_string(::getpid()) + ", " + command + ", since " +
                             host::format_rfc3339(std::chrono::system_clock::now()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, holder.data(), holder.size(), 0);
  }
  return lock;
}

FolderLock::FolderLock(FolderLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace zantrel::cli
