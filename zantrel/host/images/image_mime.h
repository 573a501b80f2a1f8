#pragma once

#include <optional>
#include <string_view>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// The image type named by the leading bytes: "image/png", "image/jpeg", "image/gif",
// "image/webp" or "image/svg+xml" (a document that opens with "<svg" or an XML declaration);
// nothing when no signature matches. Never reads past the bytes given.
std::optional<std::string_view> sniff_image_mime(ByteView image) noexcept;

// A file name extension for a MIME type from sniff_image_mime ("png", "jpg", ...), else "bin".
std::string_view image_extension(std::optional<std::string_view> mime) noexcept;

}  // namespace zantrel::host
