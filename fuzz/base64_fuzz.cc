// Lenient decoding of any text, data links included: bytes or Base64Error; whatever decodes
// re-encodes to all of the text's alphabet characters (nothing after a padding is dropped); and
// decoding in place, under the text in the buffer that holds it, gives the same bytes or fails
// alike.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_input.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/internal/images_response.h"

namespace {

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// The in-place decoding of `text` placed after a short JSON head in one buffer; nothing when it
// fails.
std::optional<zantrel::host::Bytes> in_place(std::string_view text) {
  const std::string head = "{\"data\":\"";
  zantrel::host::Bytes buffer = zantrel::host::to_bytes(head + std::string(text) + "\"}");
  const std::string_view inside(reinterpret_cast<const char*>(buffer.data()) + head.size(),
                                text.size());
  try {
    return zantrel::host::base64_decode_in_place(buffer, inside);
  } catch (const zantrel::host::Base64Error&) {
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = zantrel::fuzz::text_of(data, size);
  const auto placed = in_place(text);
  try {
    const zantrel::host::Bytes decoded = zantrel::host::base64_decode(text);
    if (!placed || *placed != decoded) __builtin_trap();
    std::string kept;  // every alphabet character: a decoded text loses none
    for (char c : text) {
      if (in_alphabet(c)) kept.push_back(c);
    }
    const std::string again = zantrel::host::base64_encode(decoded);
    // The re-encoding starts with every whole group kept; a partial last group may differ in
    // its unused low bits.
    const std::size_t whole = kept.size() / 4 * 4;
    if (again.compare(0, whole, kept, 0, whole) != 0) __builtin_trap();
    if (kept.size() % 4 == 1 || again.size() != (kept.size() + 3) / 4 * 4) __builtin_trap();
  } catch (const zantrel::host::Base64Error&) {
    if (placed) __builtin_trap();
  }
  try {
    zantrel::image::corvane::internal::decode_data_link(text);
  } catch (const zantrel::host::Base64Error&) {
  }
  return 0;
}
