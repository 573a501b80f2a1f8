// Any body a service returns: the Gemini reader either yields its findings or throws one of the
// library's failures, never anything else.
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zantrel::host::Bytes body = zantrel::fuzz::body_of(data, size);
  try {
    zantrel::image::tavelin::internal::GeminiResponse response(body);
    const auto links = response.file_uris();
    for (const auto& link : links.first) {
      if (link.empty()) __builtin_trap();  // empty links are never reported
    }
    const auto scan = response.largest_inline_image();
    if (scan.image && scan.image->size() > size) __builtin_trap();  // decoding only shrinks
  } catch (const zantrel::host::Error&) {
  }
  return 0;
}
