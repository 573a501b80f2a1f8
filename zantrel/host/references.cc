#include "zantrel/host/references.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zantrel/host/files/file_descriptor.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

[[noreturn]] void fail_read(const std::string& path, int error) {
  throw FileReadError("cannot read " + path + ": " + std::strerror(error));
}

}  // namespace

Bytes read_file_bytes(const std::string& path) {
  if (path.find('\0') != std::string::npos) fail_read("a path holding a NUL byte", EINVAL);
  // Opened without blocking: a named pipe with no writer would hold the call (and Ctrl-C)
  // forever, and is refused below like every file that is not a regular one.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) fail_read(path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail_read(path, errno);
  if (S_ISDIR(info.st_mode)) fail_read(path, EISDIR);
  if (!S_ISREG(info.st_mode)) {
    throw FileReadError("cannot read " + path + ": not a regular file");
  }
  Bytes content;
  // Sized once; a file that grows meanwhile (or reports no size, as /proc does) grows the buffer.
  content.resize(static_cast<std::size_t>(info.st_size));
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
