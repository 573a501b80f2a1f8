#pragma once

// Not installed: a file made new under a random name.

#include <sys/types.h>

#include <string>

namespace zantrel::host::internal {

// Makes a file that did not exist, named `stem` and eight random hex digits, open for reading
// and writing and closed on exec; sets `path` to its name. Returns its descriptor, or -1 with
// errno set. Made by open(2) with O_EXCL rather than mkstemp: the thread sanitizer then sees the
// descriptor made (clang 14's crashes reporting on one it never saw), and no child inherits it.
int create_new_file(const std::string& stem, mode_t mode, std::string& path);

}  // namespace zantrel::host::internal
