#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "zantrel/host/base/bytes.h"

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

// Decodes to `out`, which holds at least text.size() / 4 * 3 bytes and may lie at or before the
// text in the same buffer (decoding writes forward, behind what it has read). Returns the number
// of bytes written. Throws Base64Error (the output may then hold part of the data).
std::size_t base64_decode_into(std::string_view text, std::uint8_t* out);

// Decodes `text`, which lies in `buffer` (or anywhere else), to the start of `buffer` and hands
// the buffer over holding exactly the decoded bytes: no second image-sized allocation. Pages
// beyond them go back to the system. When the text decodes to nothing, nothing is written and
// the buffer stays as it was (the result is empty).
Bytes base64_decode_in_place(Bytes& buffer, std::string_view text);

}  // namespace zantrel::host
