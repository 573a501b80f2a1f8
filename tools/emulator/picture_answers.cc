#include "tools/emulator/picture_answers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "tools/emulator/picture_encoding.h"
#include "zantrel/host/codec/base64.h"

namespace zantrel::emulator {

int text_tokens(const std::string& text) { return static_cast<int>(text.size() / 4 + 1); }

std::string file_id(std::uint64_t seed, int width, int height) {
  char id[64];
  std::snprintf(id, sizeof id, "%016llx-%dx%d.png", static_cast<unsigned long long>(seed), width,
                height);
  return id;
}

std::optional<std::string> link_id(const Scenario& s, std::uint64_t seed, int width, int height) {
  if (s.fault == Fault::kFileLink) return file_id(seed, width, height);
  if (s.fault == Fault::kMissingLink) return "missing";
  if (s.fault == Fault::kLinkRedirectScheme) return "redirect-scheme";
  if (s.fault == Fault::kLinkHalfway) return "halfway-" + file_id(seed, width, height);
  if (s.fault == Fault::kLinkSilent) {
    return "silent-" + std::to_string(s.number(3000)) + "-" + file_id(seed, width, height);
  }
  return std::nullopt;
}

std::string picture_data(const Scenario& s, std::uint64_t seed, int width, int height,
                         const PictureStyle& style) {
  if (s.fault == Fault::kSmallDelay) return host::base64_encode(render_png(seed, 64, 36));
  host::Bytes png = render_picture(seed, width, height, style);
  if (s.fault == Fault::kLarge) {
    // Bytes after the end chunk are ignored by PNG readers, so the file stays a valid picture.
    const std::size_t size = std::max(png.size(), static_cast<std::size_t>(s.number(20)) << 20);
    std::mt19937_64 random(seed);
    std::size_t at = png.size();
    png.resize(size);
    for (; at < size; at += 8) {
      const std::uint64_t word = random();
      std::memcpy(png.data() + at, &word, std::min<std::size_t>(8, size - at));
    }
  }
  return host::base64_encode(png);
}

}  // namespace zantrel::emulator
