// Lenient decoding of any text, data links included: bytes or Base64Error, and whatever decodes
// re-encodes to the text's alphabet characters (up to the padding).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "zantrel/host/errors.h"
#include "zantrel/host/internal/base64.h"
#include "zantrel/image/corvane/internal/images_response.h"

namespace {

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = zantrel::fuzz::text_of(data, size);
  try {
    const zantrel::host::Bytes decoded = zantrel::host::base64_decode(text);
    std::string kept;  // alphabet characters before the first "="
    for (char c : text) {
      if (c == '=') break;
      if (in_alphabet(c)) kept.push_back(c);
    }
    const std::string again = zantrel::host::base64_encode(decoded);
    // The re-encoding starts with every whole group kept; a partial last group may differ in
    // its unused low bits.
    const std::size_t whole = kept.size() / 4 * 4;
    if (again.compare(0, whole, kept, 0, whole) != 0) __builtin_trap();
  } catch (const zantrel::host::Base64Error&) {
  }
  try {
    zantrel::image::corvane::internal::decode_data_link(text);
  } catch (const zantrel::host::Base64Error&) {
  }
  return 0;
}
