#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "zantrel/host/bytes.h"

namespace zantrel::host {

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).

constexpr std::size_t base64_encoded_size(std::size_t n) noexcept { return (n + 2) / 3 * 4; }

// Encodes `in` into `out`, which must hold base64_encoded_size(in.size()) + 1 bytes (the codec
// writes a terminating NUL after the text). Returns the end of the text.
char* base64_encode_into(ByteView in, char* out);

std::string base64_encode(ByteView in);

// Decodes leniently: characters outside the alphabet (line breaks) are skipped. Every character
// of the alphabet is decoded or the text is refused: a data length that padding can't make whole
// ("YQ", "Y"), padding where no group needs it ("=QUJD", "===="), or data after the padding
// ("QUJD=QUJD", "QQ==QQ==") throws Base64Error.
Bytes base64_decode(std::string_view text);

}  // namespace zantrel::host
