#include "tools/emulator/picture.h"

#include "tools/emulator/picture_encoding.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace zantrel::emulator {
namespace {

struct Colour {
  double r, g, b;
};

Colour mix(Colour a, Colour b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Hue in [0, 1), saturation and value in [0, 1].
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): h, s, v
Colour from_hsv(double h, double s, double v) {
  const double i = std::floor(h * 6);
  const double f = h * 6 - i;
  const double p = v * (1 - s), q = v * (1 - f * s), t = v * (1 - (1 - f) * s);
  switch (static_cast<int>(i) % 6) {
    case 0:
      return {v, t, p};
    case 1:
      return {q, v, p};
    case 2:
      return {p, v, t};
    case 3:
      return {p, q, v};
    case 4:
      return {t, p, v};
    default:
      return {v, p, q};
  }
}

struct Ridge {
  double base;
  std::array<double, 3> amplitude, frequency, phase;
  Colour colour;

  double height_at(double x) const {
    double y = base;
    for (std::size_t k = 0; k < 3; ++k) y += amplitude[k] * std::sin(frequency[k] * x + phase[k]);
    return y;
  }
};

// Pixels row by row, RGB, or RGBA with the sky left transparent.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): width, height
std::vector<std::uint8_t> draw(std::uint64_t seed, int width, int height, bool transparent) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double hue = unit(random);
  const Colour sky_top = from_hsv(std::fmod(hue + 0.55, 1.0), 0.55, 0.45);
  const Colour sky_low = from_hsv(std::fmod(hue + 0.05, 1.0), 0.45, 1.0);
  const Colour sun = from_hsv(std::fmod(hue + 0.12, 1.0), 0.25, 1.0);
  const double sun_x = 0.2 + 0.6 * unit(random), sun_y = 0.2 + 0.2 * unit(random);
  const double sun_r = 0.06 + 0.05 * unit(random);

  std::vector<Ridge> ridges;
  const int layers = 4;
  for (int l = 0; l < layers; ++l) {
    Ridge ridge{};
    const double depth = static_cast<double>(l) / (layers - 1);  // 0 far .. 1 near
    ridge.base = 0.45 + 0.14 * l;
    for (std::size_t k = 0; k < 3; ++k) {
      ridge.amplitude[k] = (0.05 / static_cast<double>(k + 1)) * (0.6 + unit(random));
      ridge.frequency[k] = (2.0 + 4.0 * unit(random)) * static_cast<double>(k + 1);
      ridge.phase[k] = 6.283 * unit(random);
    }
    const Colour land = from_hsv(std::fmod(hue + 0.35 + 0.05 * l, 1.0), 0.5, 0.75 - 0.5 * depth);
    ridge.colour = mix(sky_low, land, 0.35 + 0.65 * depth);  // far hills fade into the haze
    ridges.push_back(ridge);
  }

  const std::size_t channels = transparent ? 4 : 3;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                channels);
  std::vector<double> ridge_y(ridges.size());
  const double aspect = static_cast<double>(width) / height;
  for (int x = 0; x < width; ++x) {
    const double u = static_cast<double>(x) / width;
    for (std::size_t l = 0; l < ridges.size(); ++l) ridge_y[l] = ridges[l].height_at(u * aspect);
    for (int y = 0; y < height; ++y) {
      const double v = static_cast<double>(y) / height;
      Colour c = mix(sky_top, sky_low, std::clamp(v / 0.7, 0.0, 1.0));
      const double dx = (u - sun_x) * aspect, dy = v - sun_y;
      const double d = std::sqrt(dx * dx + dy * dy);
      bool solid = d < sun_r;
      if (solid) {
        c = sun;
      } else {
        c = mix(c, sun, 0.5 * std::exp(-(d - sun_r) * 12.0));  // glow
      }
      for (std::size_t l = 0; l < ridges.size(); ++l) {
        if (v >= ridge_y[l]) {
          c = mix(ridges[l].colour, sky_low, 0.15 * (1.0 - (v - ridge_y[l])));
          solid = true;
        }
      }
      std::uint8_t* px = &rgb[(static_cast<std::size_t>(y) * width + x) * channels];
      px[0] = static_cast<std::uint8_t>(std::clamp(c.r, 0.0, 1.0) * 255);
      px[1] = static_cast<std::uint8_t>(std::clamp(c.g, 0.0, 1.0) * 255);
      px[2] = static_cast<std::uint8_t>(std::clamp(c.b, 0.0, 1.0) * 255);
      if (transparent) px[3] = solid ? 255 : 0;
    }
  }
  return rgb;
}

}  // namespace

std::uint64_t seed_from(std::string_view text) noexcept {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

host::Bytes render_png(std::uint64_t seed, int width, int height) {
  return render_picture(seed, width, height, {});
}

namespace {

// The landscape as vector shapes: sky, sun and two hills, coloured from the seed.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): seed, width, height
host::Bytes render_svg(std::uint64_t seed, int width, int height) {
  char text[768];
  const auto channel = [&](int shift) {
    return static_cast<unsigned>((seed >> shift) & 0x7f) + 64;
  };
  const int written = std::snprintf(
      text, sizeof text,
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">"
      "<rect width=\"%d\" height=\"%d\" fill=\"#%02x%02xff\"/>"
      "<circle cx=\"%d\" cy=\"%d\" r=\"%d\" fill=\"#ffd75e\"/>"
      "<path d=\"M0 %d Q%d %d %d %d V%d H0 Z\" fill=\"#%02x%02x%02x\"/>"
      "<path d=\"M0 %d Q%d %d %d %d V%d H0 Z\" fill=\"#3f6b3a\"/></svg>\n",
      width, height, width, height, width, height, channel(0), channel(8), width * 3 / 4,
      height / 4, std::max(4, height / 10), height * 3 / 5, width / 2, height / 3, width,
      height * 3 / 5, height, channel(16), channel(24), 80u, height * 4 / 5, width / 3,
      height * 3 / 5, width, height * 4 / 5, height);
  return host::Bytes(text, text + std::clamp(written, 0, static_cast<int>(sizeof text) - 1));
}

}  // namespace

host::Bytes render_picture(std::uint64_t seed, int width, int height, const PictureStyle& style) {
  width = std::clamp(width, 16, 4096);
  height = std::clamp(height, 16, 4096);
  // JPEG keeps no alpha: its pictures are always opaque.
  const bool transparent = style.transparent && style.format != PictureFormat::kJpeg;
  const Pixels pixels{draw(seed, width, height, transparent), width, height, transparent ? 4 : 3};
  switch (style.format) {
    case PictureFormat::kJpeg:
      return encode_jpeg(pixels, style.quality);
    case PictureFormat::kWebp:
      return encode_webp(pixels, style.quality);
    case PictureFormat::kGif:
      return encode_gif(pixels);
    case PictureFormat::kSvg:
      return render_svg(seed, width, height);
    case PictureFormat::kPng:
      break;
  }
  return encode_png(pixels);
}

}  // namespace zantrel::emulator
