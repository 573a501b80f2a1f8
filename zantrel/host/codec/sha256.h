#pragma once

#include <initializer_list>
#include <string>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// The SHA-256 digest of `bytes` as 64 lower-case hex digits.
std::string sha256_hex(ByteView bytes);
// The digest of the pieces one after another, as of their concatenation.
std::string sha256_hex(std::initializer_list<ByteView> pieces);

}  // namespace zantrel::host
