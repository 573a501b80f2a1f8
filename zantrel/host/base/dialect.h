#pragma once

#include <optional>
#include <string_view>

namespace zantrel::host {

// The wire form a client speaks. Both carry the same call; they differ in how the key is sent
// and which members a body may hold.
enum class Dialect {
  // The form a tolerant gateway in front of the services accepts: the key as a bearer token
  // everywhere, "response_format" always sent, empty members kept, every edit image "image".
  kGateway,
  // The form the public endpoints accept: Gemini takes its key in "x-goog-api-key" and no
  // unknown members; the images API gets no "response_format" for gpt-image models, no empty
  // "size" or "quality", and "image[]" parts when an edit has several images.
  kDirect,
};

std::string_view to_string(Dialect dialect) noexcept;
// "gateway" or "direct"; nothing for any other text.
std::optional<Dialect> parse_dialect(std::string_view text) noexcept;

}  // namespace zantrel::host
