// The image header reader on any bytes: stays inside them, gives sizes only for images whose
// type is sniffed, never a zero or negative edge, and the same answer for the same header
// whatever follows it.
#include <cstdint>
#include <vector>

#include "zantrel/host/images/image_header.h"
#include "zantrel/host/images/image_mime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zantrel::host::ByteView bytes(data, size);
  const auto dimensions = zantrel::host::read_image_dimensions(bytes);
  if (!dimensions) return 0;
  if (!zantrel::host::sniff_image_mime(bytes)) __builtin_trap();
  if (dimensions->width <= 0 || dimensions->height <= 0) __builtin_trap();
  // Bytes after a readable header change nothing.
  std::vector<std::uint8_t> longer(data, data + size);
  longer.resize(size + 64, 0xff);
  if (zantrel::host::read_image_dimensions(longer) != dimensions) __builtin_trap();
  // A ratio of its own size always matches.
  const std::string own =
      std::to_string(dimensions->width) + "x" + std::to_string(dimensions->height);
  if (zantrel::host::ratio_matches(*dimensions, own) != true) __builtin_trap();
  return 0;
}
