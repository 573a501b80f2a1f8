#include "zantrel/host/files/new_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace zantrel::host {

int create_new_file(const std::string& stem, mode_t mode, std::string& path) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", entropy());
    path = stem + suffix;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

namespace {

[[noreturn]] void fail(const char* step, int error) {
  throw std::system_error(error, std::generic_category(), step);
}

}  // namespace

void replace_file(const std::string& path, std::initializer_list<ByteView> pieces, bool synced) {
  const std::filesystem::path target(path);
  const std::string stem =
      (target.has_parent_path() ? target.parent_path() / "" : std::filesystem::path()).string() +
      "." + target.filename().string() + ".";
  std::string temp;
  const int fd = create_new_file(stem, 0644, temp);
  if (fd < 0) fail("create a file beside", errno);
  const auto abandon = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    fail("write", error);
  };
  for (const ByteView bytes : pieces) {
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) abandon(errno);
      written += static_cast<std::size_t>(n);
    }
  }
  // A file replaced keeps its permissions; a new one is readable by all, as files are.
  struct stat existing {};
  ::fchmod(fd, ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644);
  if (synced && ::fsync(fd) != 0) abandon(errno);
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    fail("write", error);
  }
}

}  // namespace zantrel::host
