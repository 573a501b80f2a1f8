#include "zantrel/host/model_catalogue.h"

#include <algorithm>
#include <stdexcept>

namespace zantrel::host {
namespace {

using Strings = std::vector<std::string>;

Strings plus(Strings list, const std::string& more) {
  list.push_back(more);
  return list;
}

const Strings kTenRatios = {"1:1", "2:3", "3:2",  "3:4",  "4:3",
                            "4:5", "5:4", "9:16", "16:9", "21:9"};
const Strings kFourteenRatios = [] {
  Strings ratios = kTenRatios;
  ratios.insert(ratios.end(), {"1:4", "4:1", "1:8", "8:1"});
  return ratios;
}();
const Strings kGeminiParameters = {"seed", "temperature", "safety_settings", "response_modalities"};
const Strings kGeminiThinkingParameters = plus(kGeminiParameters, "thinking_level");
// The gpt-image-1 family takes these sizes only.
const Strings kListedSizes = {"1024x1024", "1536x1024", "1024x1536", "auto"};
const Strings kImagesParameters = {
    "n",          "quality", "output_format", "output_compression", "background",
    "moderation", "mask",    "user",          "partial_images"};
// The gpt-image-1 family also takes a transparent background (gpt-image-2 no longer does) and,
// but for -mini, the input fidelity of edits.
const Strings kImagesTransparentParameters = plus(kImagesParameters, "transparent_background");
const Strings kImagesFidelityParameters = plus(kImagesTransparentParameters, "input_fidelity");

ModelInfo gemini(std::string name, Strings ratios, Strings sizes, Strings parameters,
                 std::optional<std::string> retired_on = {}, std::string replacement = {}) {
  return {std::move(name),
          Service::kGemini,
          std::move(retired_on),
          std::move(replacement),
          std::move(ratios),
          std::move(sizes),
          {},
          std::move(parameters),
          std::nullopt,
          std::nullopt};
}

// The Gemini image models' bound on the images of one request, from their model pages: 14 for
// the Gemini 3 family, 3 for 2.5 Flash Image.
ModelInfo bounded(ModelInfo model, int max_images) {
  model.max_images = max_images;
  return model;
}

ModelInfo images(std::string name, Strings sizes, Strings parameters) {
  return {std::move(name),  Service::kImages,      {},           {},          {}, {},
          std::move(sizes), std::move(parameters), std::nullopt, std::nullopt};
}

// The services' public model pages (Gemini image generation; the images API's model pages),
// as of 2026-12. The two -preview Gemini image models were retired on 2026-06-25.
std::vector<ModelInfo> listed_models() {
  return {
      bounded(gemini("gemini-3-pro-image", kTenRatios, {"1K", "2K", "4K"}, kGeminiParameters), 14),
      bounded(gemini("gemini-3.1-flash-image", kFourteenRatios, {"512", "1K", "2K", "4K"},
                     kGeminiThinkingParameters),
              14),
      bounded(gemini("gemini-3.1-flash-lite-image", kTenRatios, {"1K"}, kGeminiParameters), 14),
      bounded(gemini("gemini-2.5-flash-image", kTenRatios, {}, kGeminiParameters), 3),
      images("gpt-image-2", {}, kImagesParameters),
      images("gpt-image-2-2026-04-21", {}, kImagesParameters),
      images("gpt-image-1.5", kListedSizes, kImagesFidelityParameters),
      images("gpt-image-1", kListedSizes, kImagesFidelityParameters),
      images("gpt-image-1-mini", kListedSizes, kImagesTransparentParameters),
      bounded(gemini("gemini-3-pro-image-preview", kTenRatios, {"1K", "2K", "4K"},
                     kGeminiParameters, "2026-06-25", "gemini-3-pro-image"),
              14),
      bounded(gemini("gemini-3.1-flash-image-preview", kFourteenRatios, {"512", "1K", "2K", "4K"},
                     kGeminiThinkingParameters, "2026-06-25", "gemini-3.1-flash-image"),
              14),
  };
}

std::vector<ModelInfo> builtin_models() {
  std::vector<ModelInfo> models = listed_models();
  for (ModelInfo& model : models) model.prices = builtin_prices(model.name);
  return models;
}

bool contains(const Strings& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

[[noreturn]] void refuse(std::size_t index, const std::string& what) {
  throw std::invalid_argument("model catalogue entry " + std::to_string(index) + ": " + what);
}

Strings strings_of(const nlohmann::json& entry, const char* key, std::size_t index) {
  Strings out;
  if (!entry.contains(key)) return out;
  const auto& list = entry.at(key);
  if (!list.is_array()) refuse(index, std::string("\"") + key + "\" must be a list of texts");
  for (const auto& item : list) {
    if (!item.is_string()) refuse(index, std::string("\"") + key + "\" must be a list of texts");
    out.push_back(item.get<std::string>());
  }
  return out;
}

}  // namespace

std::string_view to_string(Service service) noexcept {
  return service == Service::kGemini ? "gemini" : "images";
}

bool ModelInfo::takes_ratio(std::string_view ratio) const { return contains(aspect_ratios, ratio); }

bool ModelInfo::takes_image_size(std::string_view size) const {
  return contains(image_sizes, size);
}

bool ModelInfo::takes_parameter(std::string_view parameter) const {
  return contains(parameters, parameter);
}

ModelCatalogue::ModelCatalogue(std::vector<ModelInfo> models, std::string prices_as_of)
    : models_(std::move(models)), prices_as_of_(std::move(prices_as_of)) {
  for (std::size_t i = 0; i < models_.size(); ++i) {
    const ModelInfo& model = models_[i];
    if (model.name.empty()) refuse(i, "a model needs a name");
    if (model.retired() && model.replacement.empty()) {
      refuse(i, model.name + " is retired but names no replacement");
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (models_[j].name == model.name) refuse(i, model.name + " is listed twice");
    }
  }
}

const ModelCatalogue& ModelCatalogue::builtin() {
  static const ModelCatalogue catalogue(builtin_models(), std::string(builtin_prices_as_of()));
  return catalogue;
}

ModelCatalogue ModelCatalogue::from_json(const nlohmann::json& document) {
  const nlohmann::json* list = &document;
  if (document.is_object() && document.contains("models")) list = &document.at("models");
  if (!list->is_array()) {
    throw std::invalid_argument(
        "model catalogue: expected a list of models (or {\"models\": [...]})");
  }
  std::vector<ModelInfo> models;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const auto& entry = (*list)[i];
    if (!entry.is_object()) refuse(i, "expected an object");
    ModelInfo model;
    if (!entry.contains("name") || !entry.at("name").is_string())
      refuse(i, "\"name\" must be a text");
    model.name = entry.at("name").get<std::string>();
    const std::string service = entry.value("service", "");
    if (service == "gemini") {
      model.service = Service::kGemini;
    } else if (service == "images") {
      model.service = Service::kImages;
    } else {
      refuse(i, "\"service\" must be \"gemini\" or \"images\"");
    }
    if (entry.contains("retired_on") && !entry.at("retired_on").is_null()) {
      if (!entry.at("retired_on").is_string()) refuse(i, "\"retired_on\" must be a date text");
      model.retired_on = entry.at("retired_on").get<std::string>();
      model.replacement = entry.value("replacement", "");
    }
    model.aspect_ratios = strings_of(entry, "aspect_ratios", i);
    model.image_sizes = strings_of(entry, "image_sizes", i);
    model.sizes = strings_of(entry, "sizes", i);
    model.parameters = strings_of(entry, "parameters", i);
    if (entry.contains("max_images") && !entry.at("max_images").is_null()) {
      const auto& bound = entry.at("max_images");
      if (!bound.is_number_integer() || bound.get<long long>() < 1) {
        refuse(i, "\"max_images\" must be a whole number from 1");
      }
      model.max_images = bound.get<int>();
    }
    if (entry.contains("prices") && !entry.at("prices").is_null()) {
      try {
        model.prices = prices_from_json(entry.at("prices"));
      } catch (const std::invalid_argument& error) {
        refuse(i, error.what());
      }
    }
    models.push_back(std::move(model));
  }
  std::string prices_as_of;
  if (document.is_object() && document.contains("prices_as_of")) {
    if (!document.at("prices_as_of").is_string()) {
      throw std::invalid_argument("model catalogue: \"prices_as_of\" must be a date text");
    }
    prices_as_of = document.at("prices_as_of").get<std::string>();
  }
  return ModelCatalogue(std::move(models), std::move(prices_as_of));
}

nlohmann::ordered_json ModelCatalogue::to_json() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ModelInfo& model : models_) {
    nlohmann::ordered_json entry;
    entry["name"] = model.name;
    entry["service"] = to_string(model.service);
    entry["retired_on"] = model.retired_on ? nlohmann::ordered_json(*model.retired_on) : nullptr;
    if (model.retired()) entry["replacement"] = model.replacement;
    if (model.service == Service::kGemini) {
      entry["aspect_ratios"] = model.aspect_ratios;
      entry["image_sizes"] = model.image_sizes;
    } else {
      entry["sizes"] = model.sizes;
    }
    entry["parameters"] = model.parameters;
    if (model.max_images) entry["max_images"] = *model.max_images;
    entry["prices"] = model.prices ? host::to_json(*model.prices) : nlohmann::ordered_json(nullptr);
    list.push_back(std::move(entry));
  }
  return {{"prices_as_of", prices_as_of_}, {"models", std::move(list)}};
}

const ModelInfo* ModelCatalogue::find(std::string_view name) const {
  for (const ModelInfo& model : models_) {
    if (model.name == name) return &model;
  }
  return nullptr;
}

const ModelInfo* ModelCatalogue::find(std::string_view name, Service service) const {
  const ModelInfo* model = find(name);
  return model != nullptr && model->service == service ? model : nullptr;
}

std::vector<std::string> ModelCatalogue::names(Service service) const {
  std::vector<std::string> out;
  for (const ModelInfo& model : models_) {
    if (model.service == service) out.push_back(model.name);
  }
  return out;
}

std::vector<std::string> ModelCatalogue::ratios(Service service) const {
  std::vector<std::string> out;
  for (const ModelInfo& model : models_) {
    if (model.service != service) continue;
    for (const std::string& ratio : model.aspect_ratios) {
      if (!contains(out, ratio)) out.push_back(ratio);
    }
  }
  return out;
}

}  // namespace zantrel::host
