#include "zantrel/image/corvane/internal/model_checks.h"

#include <algorithm>
#include <string_view>

#include "zantrel/host/images/image_mime.h"

namespace zantrel::image::corvane::internal {
namespace {

using Values = std::vector<std::string>;

// The service's common values of each member; a model with its own list (the catalogue's
// "values") is held to that instead.
const Values kFormats = {"png", "jpeg", "webp"};
const Values kBackgrounds = {"transparent", "opaque", "auto"};
const Values kModerations = {"low", "auto"};
const Values kFidelities = {"low", "high"};
const Values kQualities = {"low", "medium", "high", "auto"};
const Values kComplexities = {"low", "medium", "high"};

std::string joined(const Values& values) {
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "" : ", ") + value;
  return out;
}

std::string not_taken(std::string_view parameter, const host::ModelInfo& model) {
  return std::string(parameter) + " is not taken by " + model.name + "; it takes " +
         (model.parameters.empty() ? std::string("none") : joined(model.parameters));
}

}  // namespace

std::optional<std::string> parameter_refusal(const host::ModelInfo* model,
                                             const ImageRequest& request, bool edits,
                                             bool unchecked) {
  // A parameter the model does not list; no answer for a model the catalogue does not know.
  const auto refused = [&](std::string_view parameter) -> std::optional<std::string> {
    if (model == nullptr || model->takes_parameter(std::string(parameter))) return std::nullopt;
    return not_taken(parameter, *model);
  };
  // A value outside the model's list of a member (the service's common list when the model
  // has none of its own); nothing asked of a model sent unchecked.
  const auto unknown_value = [&](std::string_view parameter, const std::string& value,
                                 const Values& common) -> std::optional<std::string> {
    if (unchecked) return std::nullopt;
    const Values* own = model != nullptr ? model->values_of(parameter) : nullptr;
    const Values& values = own != nullptr ? *own : common;
    if (std::find(values.begin(), values.end(), value) != values.end()) return std::nullopt;
    return std::string(parameter) + " " + value + " is not taken" +
           (own != nullptr ? " by " + model->name : std::string()) + "; it takes " + joined(values);
  };
  if (request.n < 1 || request.n > kMaxImages) {
    return "n " + std::to_string(request.n) + " is out of range; it takes 1 to " +
           std::to_string(kMaxImages);
  }
  if (request.n > 1) {
    if (auto refusal = refused("n")) return refusal;
  }
  if (!request.quality.empty() && model != nullptr) {
    if (auto refusal = unknown_value("quality", request.quality, kQualities)) return refusal;
  }
  const std::string format = request.output_format.value_or("png");
  if (request.output_format) {
    if (auto refusal = refused("output_format")) return refusal;
    if (auto refusal = unknown_value("output_format", format, kFormats)) return refusal;
  }
  if (request.output_compression) {
    if (auto refusal = refused("output_compression")) return refusal;
    const int level = *request.output_compression;
    if (level < 0 || level > 100) {
      return "output_compression " + std::to_string(level) + " is out of range; it takes 0 to 100";
    }
    if (format == "png" && !unchecked) {
      return std::string("output_compression needs output_format jpeg or webp");
    }
  }
  if (request.background) {
    if (auto refusal = refused("background")) return refusal;
    if (auto refusal = unknown_value("background", *request.background, kBackgrounds)) {
      return refusal;
    }
    if (*request.background == "transparent" && !unchecked) {
      if (format == "jpeg")
        return std::string("background transparent needs output_format png or webp");
      if (model != nullptr && !model->takes_parameter("transparent_background")) {
        return "background transparent is not taken by " + model->name + "; it takes opaque, auto";
      }
    }
  }
  if (request.moderation) {
    if (auto refusal = refused("moderation")) return refusal;
    if (auto refusal = unknown_value("moderation", *request.moderation, kModerations)) {
      return refusal;
    }
  }
  if (request.complexity) {
    if (auto refusal = refused("complexity")) return refusal;
    if (auto refusal = unknown_value("complexity", *request.complexity, kComplexities)) {
      return refusal;
    }
  }
  if (request.input_fidelity) {
    if (auto refusal = refused("input_fidelity")) return refusal;
    if (auto refusal = unknown_value("input_fidelity", *request.input_fidelity, kFidelities)) {
      return refusal;
    }
    if (!edits) return std::string("input_fidelity is for edits: it needs a reference image");
  }
  if (host::has_references(request.mask)) {
    if (auto refusal = refused("mask")) return refusal;
    if (!edits) return std::string("mask is for edits: it needs a reference image");
  }
  if (request.user) {
    if (auto refusal = refused("user")) return refusal;
  }
  if (request.safety_identifier) {
    if (auto refusal = refused("safety_identifier")) return refusal;
  }
  if (request.partial_images) {
    if (auto refusal = refused("partial_images")) return refusal;
    const int count = *request.partial_images;
    if (count < 0 || count > kMaxPartialImages) {
      return "partial_images " + std::to_string(count) + " is out of range; it takes 0 to " +
             std::to_string(kMaxPartialImages);
    }
  }
  if (!request.extra.is_object()) return std::string("extra must be a JSON object");
  return std::nullopt;
}

std::optional<std::string> mask_refusal(host::ByteView mask,
                                        std::optional<host::ImageDimensions> first_image_size) {
  if (host::sniff_image_mime(mask) != "image/png") return std::string("mask must be a PNG image");
  const auto mask_size = host::read_image_dimensions(mask);
  const auto& image_size = first_image_size;
  if (mask_size && image_size &&
      (mask_size->width != image_size->width || mask_size->height != image_size->height)) {
    return "mask is " + std::to_string(mask_size->width) + "x" + std::to_string(mask_size->height) +
           "; it must be the first image's size, " + std::to_string(image_size->width) + "x" +
           std::to_string(image_size->height);
  }
  return std::nullopt;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): extra, body
std::optional<std::string> extra_refusal(const nlohmann::ordered_json& extra,
                                         const nlohmann::ordered_json& payload) {
  if (!extra.is_object()) return std::string("extra must be a JSON object");
  for (const auto& member : extra.items()) {
    const std::string& key = member.key();
    if (payload.contains(key) || key == "image" || key == "image[]" || key == "mask" ||
        key == "stream" || key == "partial_images") {
      return "extra member " + key + " is one the client writes";
    }
  }
  return std::nullopt;
}

}  // namespace zantrel::image::corvane::internal
