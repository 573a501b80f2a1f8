#include "tools/emulator/images/dialect_checks.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;

// The values of a member every images model takes; a model with its own list says so.
const std::vector<std::string> kQualities = {"low", "medium", "high", "auto"};
const std::vector<std::string> kFormats = {"png", "jpeg", "webp"};

// 'a', 'b', and 'c', as the images API lists supported values.
std::string supported_list(const std::vector<std::string>& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += values.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == values.size()) out += "and ";
    out += "'" + values[i] + "'";
  }
  return out;
}

}  // namespace

std::optional<Refusal> check_images_fields(const std::map<std::string, std::string>& fields,
                                           const host::ModelInfo* served) {
  const auto model = fields.find("model");
  if (model != fields.end() && model->second.starts_with("gpt-image") &&
      fields.contains("response_format")) {
    return images_refusal("Unknown parameter: 'response_format'.", "response_format",
                          "unknown_parameter");
  }
  if (auto size = fields.find("size"); size != fields.end() && size->second.empty()) {
    return images_refusal("Invalid value: ''. Supported values are: 'auto' and sizes WIDTHxHEIGHT.",
                          "size", "invalid_value");
  }
  // The form's own faults first, then the model: one not served (shut down, or never) is 404.
  if (model != fields.end() && served == nullptr) {
    return images_refusal(
        "The model `" + model->second + "` does not exist or you do not have access to it.",
        nullptr, "model_not_found", 404);
  }
  // A launch the catalogue does not describe is asked only what every model is.
  const host::ModelInfo* info =
      served != nullptr && served->capabilities_known() ? served : nullptr;
  if (auto size = fields.find("size"); size != fields.end()) {
    if (info != nullptr && !info->sizes.empty() &&
        std::find(info->sizes.begin(), info->sizes.end(), size->second) == info->sizes.end()) {
      return images_refusal("Invalid size '" + size->second + "'. Supported sizes are " +
                                quoted_list(info->sizes) + ".",
                            "size", "invalid_value");
    }
  }
  if (auto n = fields.find("n"); n != fields.end()) {
    const long count = std::strtol(n->second.c_str(), nullptr, 10);
    if (count > 10) {
      return images_refusal(
          "Invalid 'n': integer above maximum value. Expected a value <= 10, but "
          "got " +
              n->second + " instead.",
          "n", "integer_above_max_value");
    }
    if (count < 1) {
      return images_refusal(
          "Invalid 'n': integer below minimum value. Expected a value >= 1, but "
          "got " +
              n->second + " instead.",
          "n", "integer_below_min_value");
    }
  }
  if (auto background = fields.find("background");
      background != fields.end() && background->second == "transparent") {
    const auto format = fields.find("output_format");
    if (format != fields.end() && format->second == "jpeg") {
      return images_refusal(
          "Transparent background is not supported for the 'jpeg' output format. Use 'png' or "
          "'webp'.",
          "background", "invalid_value");
    }
    if (info != nullptr && !info->takes_parameter("transparent_background")) {
      return images_refusal("Transparent background is not supported for this model.", "background",
                            "invalid_value");
    }
  }
  if (fields.contains("input_fidelity") && info != nullptr &&
      !info->takes_parameter("input_fidelity")) {
    return images_refusal(
        "The model '" + info->name + "' does not support the 'input_fidelity' parameter.",
        "input_fidelity", "invalid_input_fidelity_model");
  }
  if (info != nullptr) {
    for (const auto& [member, common] :
         {std::pair{"quality", &kQualities}, std::pair{"output_format", &kFormats}}) {
      const auto value = fields.find(member);
      if (value == fields.end() || value->second.empty()) continue;
      const std::vector<std::string>* own = info->values_of(member);
      const std::vector<std::string>& taken = own != nullptr ? *own : *common;
      if (std::find(taken.begin(), taken.end(), value->second) == taken.end()) {
        return images_refusal("Invalid value: '" + value->second +
                                  "'. Supported values are: " + supported_list(taken) + ".",
                              member, "invalid_value");
      }
    }
    if (fields.contains("complexity") && !info->takes_parameter("complexity")) {
      return images_refusal("Unknown parameter: 'complexity'.", "complexity", "unknown_parameter");
    }
  }
  if (auto quality = fields.find("quality"); quality != fields.end() && quality->second.empty()) {
    return images_refusal(
        "Invalid value: ''. Supported values are: 'low', 'medium', 'high', and 'auto'.", "quality",
        "invalid_value");
  }
  return std::nullopt;
}

}  // namespace zantrel::emulator
