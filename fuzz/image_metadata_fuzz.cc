// Image metadata on any bytes: reading stays inside them, and what is written into a PNG or a
// JPEG is read back as written, whatever the rest of the file holds.
#include <cstdint>
#include <string>

#include "zantrel/host/images/image_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zantrel::host::ByteView bytes(data, size);
  (void)zantrel::host::read_metadata(bytes);
  const zantrel::host::ImageMetadata metadata{"a fox & <hen>\n", R"({"parameters":"a fox"})"};
  const auto pieces = zantrel::host::metadata_pieces(bytes, metadata);
  if (!pieces) return 0;
  if (pieces->resume_at > size) __builtin_trap();
  const zantrel::host::Bytes marked = zantrel::host::with_metadata(bytes, metadata);
  const auto read = zantrel::host::read_metadata(marked);
  const bool webp = size >= 4 && data[0] == 'R';
  if (!webp && (!read || read->json != metadata.json)) __builtin_trap();
  return 0;
}
