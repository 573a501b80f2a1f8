#pragma once

#include <cstdint>
#include <string_view>

#include "zantrel/host/bytes.h"

namespace zantrel::emulator {

// A seed for pictures, taken from a prompt so that the same prompt gives the same picture.
std::uint64_t seed_from(std::string_view text) noexcept;

// A landscape (sky, sun, layered hills) of the given size, drawn from the seed and encoded as
// PNG. Sizes are clamped to 16..4096 pixels per edge.
host::Bytes render_png(std::uint64_t seed, int width, int height);

}  // namespace zantrel::emulator
