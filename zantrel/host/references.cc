#include "zantrel/host/references.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zantrel/host/errors.h"
#include "zantrel/host/internal/file_descriptor.h"

namespace zantrel::host {
namespace {

using internal::FileDescriptor;

[[noreturn]] void fail_read(const std::string& path, int error) {
  throw FileReadError("cannot read " + path + ": " + std::strerror(error));
}

}  // namespace

Bytes read_file_bytes(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail_read("a path holding a NUL byte", EINVAL);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail_read(path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail_read(path, errno);
  if (S_ISDIR(info.st_mode)) fail_read(path, EISDIR);
  Bytes content;
  // Regular files are read into a buffer sized once; other kinds (pipes) grow as they go.
  content.resize(S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) : 0);
  std::size_t filled = 0;
  for (;;) {
    if (filled == content.size()) content.resize(content.size() + 65536);
    const ssize_t got = ::read(fd.get(), content.data() + filled, content.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail_read(path, errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  content.resize(filled);
  return content;
}

bool has_references(const Files& files) noexcept {
  if (std::holds_alternative<std::monostate>(files)) return false;
  const auto* list = std::get_if<std::vector<Reference>>(&files);
  return list == nullptr || !list->empty();
}

}  // namespace zantrel::host
