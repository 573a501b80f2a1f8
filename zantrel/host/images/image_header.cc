#include "zantrel/host/images/image_header.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace zantrel::host {
namespace {

// An N-byte unsigned number at `at`.
template <std::size_t N>
std::uint32_t big_endian(ByteView b, std::size_t at) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < N; ++i) value = value << 8 | b[at + i];
  return value;
}

template <std::size_t N>
std::uint32_t little_endian(ByteView b, std::size_t at) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = N; i > 0; --i) value = value << 8 | b[at + i - 1];
  return value;
}

bool starts_with(ByteView b, std::size_t at, std::string_view text) noexcept {
  if (b.size() < at + text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (b[at + i] != static_cast<std::uint8_t>(text[i])) return false;
  }
  return true;
}

std::optional<ImageDimensions> sized(std::uint32_t width, std::uint32_t height) noexcept {
  // Sizes that don't fit an int are no size anyone asked for.
  if (width == 0 || height == 0 || width > 0x7fffffffU || height > 0x7fffffffU) return {};
  return ImageDimensions{static_cast<int>(width), static_cast<int>(height)};
}

std::optional<ImageDimensions> png(ByteView b) noexcept {
  if (b.size() < 24 || !starts_with(b, 12, "IHDR")) return {};
  return sized(big_endian<4>(b, 16), big_endian<4>(b, 20));
}

std::optional<ImageDimensions> gif(ByteView b) noexcept {
  if (b.size() < 10) return {};
  return sized(little_endian<2>(b, 6), little_endian<2>(b, 8));
}

std::optional<ImageDimensions> webp(ByteView b) noexcept {
  if (starts_with(b, 12, "VP8 ")) {
    // A key frame: start code 9d 01 2a, then 14-bit width and height.
    if (b.size() < 30 || b[23] != 0x9d || b[24] != 0x01 || b[25] != 0x2a) return {};
    return sized(little_endian<2>(b, 26) & 0x3fff, little_endian<2>(b, 28) & 0x3fff);
  }
  if (starts_with(b, 12, "VP8L")) {
    if (b.size() < 25 || b[20] != 0x2f) return {};
    const std::uint32_t bits = little_endian<4>(b, 21);
    return sized((bits & 0x3fff) + 1, (bits >> 14 & 0x3fff) + 1);
  }
  if (starts_with(b, 12, "VP8X")) {
    if (b.size() < 30) return {};
    return sized(little_endian<3>(b, 24) + 1, little_endian<3>(b, 27) + 1);
  }
  return {};
}

std::optional<ImageDimensions> jpeg(ByteView b) noexcept {
  std::size_t at = 2;  // after the start-of-image marker
  while (at + 4 <= b.size()) {
    if (b[at] != 0xff) return {};
    std::uint8_t marker = b[at + 1];
    if (marker == 0xff) {  // fill byte
      ++at;
      continue;
    }
    // Markers without a length.
    if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) {
      at += 2;
      continue;
    }
    if (marker == 0xd9 || marker == 0xda) return {};  // end of image, or data before any frame
    const std::size_t length = big_endian<2>(b, at + 2);
    const bool frame =
        marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (frame) {
      if (length < 7 || at + 9 > b.size()) return {};
      return sized(big_endian<2>(b, at + 7), big_endian<2>(b, at + 5));
    }
    if (length < 2) return {};
    at += 2 + length;
  }
  return {};
}

std::optional<double> ratio_of(std::string_view text) noexcept {
  const auto split = text.find_first_of(":x");
  if (split == std::string_view::npos) return {};
  double a = 0, b = 0;
  const auto first = std::from_chars(text.data(), text.data() + split, a);
  const auto second = std::from_chars(text.data() + split + 1, text.data() + text.size(), b);
  if (first.ec != std::errc() || first.ptr != text.data() + split || second.ec != std::errc() ||
      second.ptr != text.data() + text.size() || !(a > 0) || !(b > 0)) {
    return {};
  }
  return a / b;
}

}  // namespace

std::optional<ImageDimensions> read_image_dimensions(ByteView image) noexcept {
  if (starts_with(image, 0, "\x89PNG\r\n\x1a\n")) return png(image);
  if (starts_with(image, 0, "\xff\xd8")) return jpeg(image);
  if (starts_with(image, 0, "GIF87a") || starts_with(image, 0, "GIF89a")) return gif(image);
  if (starts_with(image, 0, "RIFF") && starts_with(image, 8, "WEBP")) return webp(image);
  return {};
}

std::optional<bool> ratio_matches(ImageDimensions size, std::string_view asked) noexcept {
  const auto wanted = ratio_of(asked);
  if (!wanted || size.width <= 0 || size.height <= 0) return {};
  const double got = static_cast<double>(size.width) / size.height;
  return std::abs(got - *wanted) <= 0.01 * *wanted;
}

}  // namespace zantrel::host
