#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "zantrel/host/base/bytes.h"

namespace zantrel::cli {

// An image file decoded to RGBA pixels by its own format's library (libpng, libjpeg, libwebp).
struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
  // Pixels whose alpha is 0.
  std::size_t transparent_pixels() const;
};

// Nothing when the bytes are not a whole PNG, JPEG or WebP file.
std::optional<DecodedImage> decode_image(host::ByteView file);

}  // namespace zantrel::cli
