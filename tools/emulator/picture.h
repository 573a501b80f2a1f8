#pragma once

#include <cstdint>
#include <string_view>

#include "zantrel/host/base/bytes.h"

namespace zantrel::emulator {

// A seed for pictures, taken from a prompt so that the same prompt gives the same picture.
std::uint64_t seed_from(std::string_view text) noexcept;

// A landscape (sky, sun, layered hills) of the given size, drawn from the seed and encoded as
// PNG. Sizes are clamped to 16..4096 pixels per edge.
host::Bytes render_png(std::uint64_t seed, int width, int height);

enum class PictureFormat { kPng, kJpeg, kWebp, kGif, kSvg };

struct PictureStyle {
  PictureFormat format = PictureFormat::kPng;
  // The sky left transparent (PNG and WebP; a JPEG is always opaque).
  bool transparent = false;
  int quality = 90;  // JPEG and WebP, 0 to 100
};

// The same landscape in the given style.
host::Bytes render_picture(std::uint64_t seed, int width, int height, const PictureStyle& style);

}  // namespace zantrel::emulator
