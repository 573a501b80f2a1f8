#include "zantrel/image/tavelin/internal/model_checks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string_view>

namespace zantrel::image::tavelin::internal {
namespace {

std::string joined(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "" : ", ") + value;
  return out;
}

template <std::size_t N>
bool one_of(const std::array<std::string_view, N>& values, std::string_view value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// The levels of the Gemini 3 image models; a model with its own list says so in the catalogue.
const std::vector<std::string> kThinkingLevels = {"minimal", "high"};
constexpr std::array<std::string_view, 6> kThresholds = {"BLOCK_NONE",
                                                         "BLOCK_ONLY_HIGH",
                                                         "BLOCK_MEDIUM_AND_ABOVE",
                                                         "BLOCK_LOW_AND_ABOVE",
                                                         "OFF",
                                                         "HARM_BLOCK_THRESHOLD_UNSPECIFIED"};

std::string not_taken(std::string_view parameter, const host::ModelInfo& model) {
  return std::string(parameter) + " is not taken by " + model.name + "; it takes " +
         (model.parameters.empty() ? std::string("none") : joined(model.parameters));
}

std::string number_text(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace

std::optional<std::string> ratio_or_size_refusal(const host::ModelInfo& model,
                                                 const std::string& ratio,
                                                 const std::optional<std::string>& size) {
  if (!model.takes_ratio(ratio)) {
    return "aspect_ratio " + ratio + " is not taken by " + model.name + "; it takes " +
           joined(model.aspect_ratios);
  }
  if (size && !size->empty() && !model.image_sizes.empty() && !model.takes_image_size(*size)) {
    return "image_size " + *size + " is not taken by " + model.name + "; it takes " +
           joined(model.image_sizes);
  }
  return std::nullopt;
}

std::optional<std::string> parameter_refusal(const host::ModelInfo& model,
                                             const GenerationRequest& request, bool gateway) {
  if (request.seed && !model.takes_parameter("seed")) return not_taken("seed", model);
  if (request.temperature) {
    if (!model.takes_parameter("temperature")) return not_taken("temperature", model);
    if (!(*request.temperature >= 0 && *request.temperature <= 2)) {
      return "temperature " + number_text(*request.temperature) +
             " is out of range; it takes 0 to 2";
    }
  }
  if (request.thinking_level) {
    if (!model.takes_parameter("thinking_level")) return not_taken("thinking_level", model);
    const std::vector<std::string>* levels = model.values_of("thinking_level");
    const std::vector<std::string>& taken = levels != nullptr ? *levels : kThinkingLevels;
    if (std::find(taken.begin(), taken.end(), *request.thinking_level) == taken.end()) {
      return "thinking_level " + *request.thinking_level + " is not taken by " + model.name +
             "; it takes " + joined(taken);
    }
  }
  if (!request.safety_settings.empty() && !model.takes_parameter("safety_settings")) {
    return not_taken("safety_settings", model);
  }
  for (const SafetySetting& setting : request.safety_settings) {
    if (!setting.category.starts_with("HARM_CATEGORY_")) {
      return "safety category " + setting.category + " is not a harm category (HARM_CATEGORY_...)";
    }
    if (!one_of(kThresholds, setting.threshold)) {
      return "safety threshold " + setting.threshold +
             " is not taken; it takes BLOCK_NONE, BLOCK_ONLY_HIGH, BLOCK_MEDIUM_AND_ABOVE, "
             "BLOCK_LOW_AND_ABOVE, OFF";
    }
  }
  if (request.with_text && !model.takes_parameter("response_modalities")) {
    return not_taken("response_modalities", model);
  }
  return request_refusal(request, gateway);
}

std::optional<std::string> request_refusal(const GenerationRequest& request, bool gateway) {
  if (!request.extra.is_object()) return std::string("extra must be a JSON object");
  // The service keeps a seed as a 32-bit integer; a larger one would not be the one asked.
  if (request.seed && (*request.seed < std::numeric_limits<std::int32_t>::min() ||
                       *request.seed > std::numeric_limits<std::int32_t>::max())) {
    return "seed " + std::to_string(*request.seed) + " is out of range; it takes " +
           std::to_string(std::numeric_limits<std::int32_t>::min()) + " to " +
           std::to_string(std::numeric_limits<std::int32_t>::max());
  }
  for (const auto& [key, value] : request.extra.items()) {
    const bool written = key == "contents" || key == "generationConfig" ||
                         (gateway && key == "response_format") ||
                         (key == "safetySettings" && !request.safety_settings.empty());
    if (written) return "extra member " + key + " is one the client writes";
  }
  return std::nullopt;
}

std::optional<std::string> signature_refusal(std::string_view model,
                                             std::span<const host::ConversationTurn> history) {
  // The Gemini 3 generation, Nano Banana 2.1 among it, signs its images.
  if (!model.starts_with("gemini-3") && !model.starts_with("gemini-nano-banana")) {
    return std::nullopt;
  }
  for (std::size_t t = 0; t < history.size(); ++t) {
    if (history[t].role != "model") continue;
    const auto& parts = history[t].parts;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      if (parts[p].image && !parts[p].thought_signature) {
        return "Image part is missing a thought_signature in content position " +
               std::to_string(t + 1) + ", part position " + std::to_string(p + 1) + ".";
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> inline_size_refusal(std::size_t body_bytes, bool direct) {
  constexpr std::size_t kInlineLimit = 100'000'000;
  if (!direct || body_bytes <= kInlineLimit) return std::nullopt;
  char size[32];
  std::snprintf(size, sizeof size, "%.1f", static_cast<double>(body_bytes) / 1e6);
  return std::string("the request is ") + size +
         " MB inline; the service takes 100 MB at most (send fewer or smaller images, or upload "
         "them: upload_references)";
}

}  // namespace zantrel::image::tavelin::internal
