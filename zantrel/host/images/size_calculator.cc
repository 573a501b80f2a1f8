#include "zantrel/host/images/size_calculator.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

constexpr double kMaxEdge = 3840;
constexpr double kMinPixels = 655'360;
constexpr double kMaxPixels = 8'294'400;
constexpr double kMaxRatio = 3.0;

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): part, whole
double parse_positive(std::string_view text, std::string_view whole) {
  double value = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || !(value > 0) || !std::isfinite(value)) {
    throw InvalidArgument("unusable aspect ratio: " + std::string(whole));
  }
  return value;
}

double long_edge_for(std::string_view resolution) {
  std::string lower(resolution);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.empty() || lower == "1k") return 1024;
  if (lower == "2k") return 2048;
  if (lower == "4k") return kMaxEdge;
  throw InvalidArgument("unknown resolution: " + std::string(resolution));
}

long round16(double edge) { return std::max(16L, std::lround(edge / 16.0) * 16); }

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): public signature
nlohmann::ordered_json GPTImageSizeCalculator::calc_size(std::string_view aspect_ratio,
                                                         std::string_view resolution) {
  const auto colon = aspect_ratio.find(':');
  if (colon == std::string_view::npos) {
    throw InvalidArgument("unusable aspect ratio: " + std::string(aspect_ratio));
  }
  const double w = parse_positive(aspect_ratio.substr(0, colon), aspect_ratio);
  const double h = parse_positive(aspect_ratio.substr(colon + 1), aspect_ratio);
  if (std::max(w, h) / std::min(w, h) > kMaxRatio) {
    throw InvalidArgument("aspect ratio beyond 3:1: " + std::string(aspect_ratio));
  }
  const double long_edge = long_edge_for(resolution);
  double width = w >= h ? long_edge : long_edge * w / h;
  double height = w >= h ? long_edge * h / w : long_edge;
  // Keep the pixel count inside the model's range, the ratio unchanged.
  const double pixels = width * height;
  double scale = 1.0;
  if (pixels < kMinPixels) scale = std::sqrt(kMinPixels / pixels);
  if (pixels > kMaxPixels) scale = std::sqrt(kMaxPixels / pixels);
  width *= scale;
  height *= scale;
  long out_w = round16(width);
  long out_h = round16(height);
  // Rounding may step just outside the range; step back inside by one grid unit.
  while (static_cast<double>(out_w) * static_cast<double>(out_h) > kMaxPixels) {
    (out_w >= out_h ? out_w : out_h) -= 16;
  }
  while (static_cast<double>(out_w) * static_cast<double>(out_h) < kMinPixels) {
    (out_w <= out_h ? out_w : out_h) += 16;
  }
  out_w = std::min(out_w, static_cast<long>(kMaxEdge));
  out_h = std::min(out_h, static_cast<long>(kMaxEdge));
  return {{"width", out_w}, {"height", out_h}};
}

}  // namespace zantrel::host
