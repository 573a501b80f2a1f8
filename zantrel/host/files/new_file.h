#pragma once

// A file made new under a random name.

#include <sys/types.h>

#include <initializer_list>
#include <string>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// Makes a file that did not exist, named `stem` and eight random hex digits, open for reading
// and writing and closed on exec; sets `path` to its name. Returns its descriptor, or -1 with
// errno set. Made by open(2) with O_EXCL rather than mkstemp: the thread sanitizer then sees the
// descriptor made (clang 14's crashes reporting on one it never saw), and no child inherits it.
int create_new_file(const std::string& stem, mode_t mode, std::string& path);

// Replaces the file at `path` whole or not at all: the pieces are written one after another into
// a new file beside it (hidden by a leading dot; the permissions of the file it replaces, else
// mode 0644), synced first when `synced`, then renamed over it. Throws std::system_error whose text
// names the step ("create a file beside", "write"); the new file is removed on every failure.
void replace_file(const std::string& path, std::initializer_list<ByteView> pieces, bool synced);

}  // namespace zantrel::host
