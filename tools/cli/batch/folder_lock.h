#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <variant>

namespace zantrel::cli {

// An exclusive hold on an output folder for one run, so that two runs never buy the same
// images or keep each other's records: DIR/run.lock, locked with flock (let go by the kernel
// when the process ends, however it ends) and naming its holder. The file stays; only the lock
// goes.
class FolderLock {
 public:
  // The hold, or why it can't be had: another run holds it (naming that run's pid, command and
  // start), or the lock file can't be opened.
  static std::variant<FolderLock, std::string> take(const std::filesystem::path& dir,
                                                    const std::string& command);

  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

 private:
  explicit FolderLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace zantrel::cli
