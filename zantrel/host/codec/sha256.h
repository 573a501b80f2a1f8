#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// The SHA-256 digest of `bytes` as 64 lower-case hex digits.
std::string sha256_hex(ByteView bytes);
// The digest of the pieces one after another, as of their concatenation.
std::string sha256_hex(std::initializer_list<ByteView> pieces);
// The digest of the bytes `read` gives, a buffer's worth at a time, until it gives none: for
// what is produced piece by piece and never held whole.
std::string sha256_hex(const std::function<std::size_t(char* out, std::size_t space)>& read);

}  // namespace zantrel::host
