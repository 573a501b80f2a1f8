#include "zantrel/host/image_mime.h"

#include <algorithm>
#include <cstdint>

namespace zantrel::host {
namespace {

bool has_at(ByteView image, std::size_t offset, std::string_view signature) {
  if (image.size() < offset + signature.size()) return false;
  const ByteView window = image.subspan(offset, signature.size());
  return std::equal(signature.begin(), signature.end(), window.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

}  // namespace

std::optional<std::string_view> sniff_image_mime(ByteView image) noexcept {
  if (has_at(image, 0, "\x89PNG\r\n\x1a\n")) return "image/png";
  if (has_at(image, 0, "\xFF\xD8")) return "image/jpeg";
  if (has_at(image, 0, "GIF8")) return "image/gif";
  if (has_at(image, 0, "RIFF") && has_at(image, 8, "WEBP")) return "image/webp";
  return std::nullopt;
}

std::string_view image_extension(std::optional<std::string_view> mime) noexcept {
  if (mime == "image/png") return "png";
  if (mime == "image/jpeg") return "jpg";
  if (mime == "image/gif") return "gif";
  if (mime == "image/webp") return "webp";
  return "bin";
}

}  // namespace zantrel::host
