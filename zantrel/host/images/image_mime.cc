#include "zantrel/host/images/image_mime.h"

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

// An SVG document: "<svg" or an XML declaration first, after a byte-order mark and white space.
bool is_svg(ByteView image) {
  std::size_t at = has_at(image, 0, "\xEF\xBB\xBF") ? 3 : 0;
  while (at < image.size() && at < 64 &&
         (image[at] == ' ' || image[at] == '\t' || image[at] == '\r' || image[at] == '\n')) {
    ++at;
  }
  return has_at(image, at, "<svg") || has_at(image, at, "<?xml");
}

}  // namespace

std::optional<std::string_view> sniff_image_mime(ByteView image) noexcept {
  if (has_at(image, 0, "\x89PNG\r\n\x1a\n")) return "image/png";
  if (has_at(image, 0, "\xFF\xD8")) return "image/jpeg";
  if (has_at(image, 0, "GIF8")) return "image/gif";
  if (has_at(image, 0, "RIFF") && has_at(image, 8, "WEBP")) return "image/webp";
  if (is_svg(image)) return "image/svg+xml";
  return std::nullopt;
}

std::string_view image_extension(std::optional<std::string_view> mime) noexcept {
  if (mime == "image/png") return "png";
  if (mime == "image/jpeg") return "jpg";
  if (mime == "image/gif") return "gif";
  if (mime == "image/webp") return "webp";
  if (mime == "image/svg+xml") return "svg";
  return "bin";
}

}  // namespace zantrel::host
