#pragma once

#include <cstdint>
#include <vector>

#include "zantrel/host/base/bytes.h"

namespace zantrel::emulator {

// Pixels row by row without padding: RGB (3 channels) or RGBA (4).
struct Pixels {
  std::vector<std::uint8_t> data;
  int width = 0;
  int height = 0;
  int channels = 3;
};

// The pixels as an image file. Throws std::runtime_error when the encoder fails.
host::Bytes encode_png(const Pixels& pixels);
// Alpha, if any, is dropped: JPEG has none. `quality` 0 to 100.
host::Bytes encode_jpeg(const Pixels& pixels, int quality);
// Lossy WebP, alpha kept; `quality` 0 to 100.
host::Bytes encode_webp(const Pixels& pixels, int quality);
// GIF89a, one frame, colours reduced to a 3-3-2 palette; alpha dropped.
host::Bytes encode_gif(const Pixels& pixels);

}  // namespace zantrel::emulator
