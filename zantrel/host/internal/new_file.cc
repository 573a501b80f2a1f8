#include "zantrel/host/internal/new_file.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace zantrel::host::internal {

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

}  // namespace zantrel::host::internal
