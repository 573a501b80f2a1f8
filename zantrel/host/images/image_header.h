#pragma once

#include <optional>
#include <string_view>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

struct ImageDimensions {
  int width = 0;
  int height = 0;
  friend bool operator==(const ImageDimensions&, const ImageDimensions&) = default;
};

// Width and height read from the image's own header: PNG (IHDR), JPEG (the first frame
// marker), GIF (the logical screen) and WebP in its VP8, VP8L and VP8X forms. Nothing for any
// other type or a header cut short. Never reads past the bytes given.
std::optional<ImageDimensions> read_image_dimensions(ByteView image) noexcept;

// Whether width x height has the ratio asked, within 1%: `asked` is "W:H" (an aspect ratio) or
// "WxH" (a pixel size). Nothing when `asked` names no ratio ("", "auto") or the size is empty.
std::optional<bool> ratio_matches(ImageDimensions size, std::string_view asked) noexcept;

}  // namespace zantrel::host
