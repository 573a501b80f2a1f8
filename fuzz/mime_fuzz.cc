// Signature sniffing on any bytes: stays inside them and names only the known types.
#include <cstdint>
#include <string_view>

#include "zantrel/host/images/image_mime.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zantrel::host::ByteView bytes(data, size);
  const auto mime = zantrel::host::sniff_image_mime(bytes);
  if (mime && mime->substr(0, 6) != "image/") __builtin_trap();
  if (!mime && zantrel::host::image_extension(mime) != "bin") __builtin_trap();
  const std::string_view gemini = zantrel::image::tavelin::internal::gemini_mime_type(bytes);
  if (gemini.substr(0, 6) != "image/") __builtin_trap();
  return 0;
}
