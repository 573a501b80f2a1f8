#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace zantrel::host {

// Pixel size for the image model from an aspect ratio ("W:H") and a resolution class ("1k",
// "2k", "4k", case-insensitive; empty means "1k"). The class sets the long edge (1024, 2048,
// 3840); both edges are multiples of 16 and the pixel count stays within the model's limits.
// Returns {"width": w, "height": h}; throws InvalidArgument on a ratio or class it can't use.
class GPTImageSizeCalculator {
 public:
  static nlohmann::ordered_json calc_size(std::string_view aspect_ratio,
                                          std::string_view resolution);
};

}  // namespace zantrel::host
