#pragma once

#include <cstddef>
#include <vector>

#include "zantrel/host/base/bytes.h"

namespace zantrel::bench {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// `size` seeded random bytes behind a real PNG signature.
host::Bytes image_of(std::size_t size, unsigned seed);

// `count` such images with seeds 1, 2, ...
std::vector<host::Bytes> references(std::size_t count, std::size_t size);

// A Gemini 200 body: a text part, `image` inline, then a 256 KiB second image; with spare room
// after the text for in-place parsing, as the HTTP client leaves it.
host::Bytes gemini_body_with(const host::Bytes& image);

// An images API 200 body whose "b64_json" holds `image`.
host::Bytes images_body_with(const host::Bytes& image);

}  // namespace zantrel::bench
