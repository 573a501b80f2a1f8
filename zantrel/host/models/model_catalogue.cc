#include "zantrel/host/models/model_catalogue.h"

#include <algorithm>
#include <cstdio>
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
// Every images model takes these; "user" stays beside "safety_identifier", which replaces it.
const Strings kImagesParameters = {
    "n",          "quality", "output_format", "output_compression", "background",
    "moderation", "mask",    "user",          "partial_images",     "safety_identifier"};
// The gpt-image-1 family and the 2.5 and 2.6 models also take a transparent background
// (gpt-image-2 does not) and, for the 1 family but -mini, the input fidelity of edits.
const Strings kImagesTransparentParameters = plus(kImagesParameters, "transparent_background");
const Strings kImagesFidelityParameters = plus(kImagesTransparentParameters, "input_fidelity");
const Strings kImages26Parameters = plus(kImagesTransparentParameters, "complexity");
const Strings kHigherQualities = {"low", "medium", "high", "auto", "xhigh", "max"};
const Strings kFormats26 = {"png", "jpeg", "webp", "gif", "svg"};

ModelInfo gemini(std::string name, Strings ratios, Strings sizes, Strings parameters,
                 int max_images) {
  ModelInfo model;
  model.name = std::move(name);
  model.service = Service::kGemini;
  model.aspect_ratios = std::move(ratios);
  model.image_sizes = std::move(sizes);
  model.parameters = std::move(parameters);
  model.max_images = max_images;
  return model;
}

ModelInfo images(std::string name, Strings sizes, Strings parameters) {
  ModelInfo model;
  model.name = std::move(name);
  model.service = Service::kImages;
  model.sizes = std::move(sizes);
  model.parameters = std::move(parameters);
  return model;
}

ModelInfo shut_down(ModelInfo model, std::string day, std::string replacement) {
  model.shutdown_on = std::move(day);
  model.replacement = std::move(replacement);
  return model;
}

ModelInfo with_values(ModelInfo model, std::string parameter, Strings values) {
  model.values.emplace(std::move(parameter), std::move(values));
  return model;
}

ModelInfo noted(ModelInfo model, std::string note) {
  model.note = std::move(note);
  return model;
}

ModelInfo images_25(std::string name) {
  return with_values(images(std::move(name), {}, kImagesTransparentParameters), "quality",
                     kHigherQualities);
}

ModelInfo images_26(std::string name) {
  return with_values(
      with_values(images(std::move(name), {}, kImages26Parameters), "quality", kHigherQualities),
      "output_format", kFormats26);
}

// The services' pages as read on the catalogue's day, each fact with its page:
// - Gemini (G1) ai.google.dev/gemini-api/docs/models and .../image-generation: the current image
//   models, their ratios, sizes, thinking levels and the 14 images of a request (3 for 2.5
//   Flash Image); (G2) ai.google.dev/gemini-api/docs/changelog and .../deprecations:
//   gemini-nano-banana-2.1 GA 2026-10-06 replacing gemini-3.1-flash-image, shut down
//   2026-10-29; the -preview names shut down 2026-06-25; gemini-2.5-flash-image served only to
//   projects that used it before 2026-09-18.
// - Images API (O1) developers.openai.com/api/docs/models/<model>: members, qualities ("xhigh",
//   "max" from 2.5), complexity and gif/svg output (2.6), transparent backgrounds (not on
//   gpt-image-2); (O2) developers.openai.com/api/docs/deprecations: gpt-image-1.5 (and its
//   2025-12-16 snapshot), gpt-image-1-mini and chatgpt-image-latest shut down 2026-12-01,
//   "gpt-image-2.6-sunburst or gpt-image-2.6-flare" named (the first is taken); (O3) the
//   gpt-image-1 model page: shut down 2026-10-23, GPT-Image-2.5 Sunburst recommended.
std::vector<ModelInfo> listed_models() {
  return {
      with_values(gemini("gemini-nano-banana-2.1", kFourteenRatios, {"1K", "2K", "4K"},
                         kGeminiThinkingParameters, 14),
                  "thinking_level", {"minimal", "medium", "high"}),
      gemini("gemini-3-pro-image", kTenRatios, {"1K", "2K", "4K"}, kGeminiParameters, 14),
      gemini("gemini-3.1-flash-lite-image", kTenRatios, {"1K"}, kGeminiParameters, 14),
      noted(gemini("gemini-2.5-flash-image", kTenRatios, {}, kGeminiParameters, 3),
            "gemini-2.5-flash-image is served only to projects that used it before 2026-09-18"),
      images("gpt-image-2", {}, kImagesParameters),
      images("gpt-image-2-2026-04-21", {}, kImagesParameters),
      images_25("gpt-image-2.5-sunburst"),
      images_25("gpt-image-2.5-sunburst-2026-09-08"),
      images_25("gpt-image-2.5-flare"),
      images_25("gpt-image-2.5-flare-2026-09-08"),
      images_26("gpt-image-2.6-sunburst"),
      images_26("gpt-image-2.6-flare"),
      shut_down(gemini("gemini-3.1-flash-image", kFourteenRatios, {"512", "1K", "2K", "4K"},
                       kGeminiThinkingParameters, 14),
                "2026-10-29", "gemini-nano-banana-2.1"),
      shut_down(gemini("gemini-3-pro-image-preview", kTenRatios, {"1K", "2K", "4K"},
                       kGeminiParameters, 14),
                "2026-06-25", "gemini-3-pro-image"),
      shut_down(gemini("gemini-3.1-flash-image-preview", kFourteenRatios, {"512", "1K", "2K", "4K"},
                       kGeminiThinkingParameters, 14),
                "2026-06-25", "gemini-3.1-flash-image"),
      shut_down(images("gpt-image-1.5", kListedSizes, kImagesFidelityParameters), "2026-12-01",
                "gpt-image-2.6-sunburst"),
      shut_down(images("gpt-image-1.5-2025-12-16", kListedSizes, kImagesFidelityParameters),
                "2026-12-01", "gpt-image-2.6-sunburst"),
      shut_down(images("gpt-image-1-mini", kListedSizes, kImagesTransparentParameters),
                "2026-12-01", "gpt-image-2.6-sunburst"),
      shut_down(images("chatgpt-image-latest", kListedSizes, kImagesFidelityParameters),
                "2026-12-01", "gpt-image-2.6-sunburst"),
      shut_down(images("gpt-image-1", kListedSizes, kImagesFidelityParameters), "2026-10-23",
                "gpt-image-2.5-sunburst"),
  };
}

std::vector<ModelInfo> builtin_models() {
  std::vector<ModelInfo> models = listed_models();
  for (ModelInfo& model : models) model.prices = builtin_prices(model.name);
  return models;
}

// The day of the built-in table: the services' pages were read up to it.
constexpr std::string_view kBuiltinAsOf = "2026-12-10";

bool contains(const Strings& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool is_day(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
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

// A day member of an entry: a "YYYY-MM-DD" text, or null / absent.
std::optional<std::string> day_of(const nlohmann::json& entry, const char* key, std::size_t index) {
  if (!entry.contains(key) || entry.at(key).is_null()) return std::nullopt;
  const auto& value = entry.at(key);
  if (!value.is_string() || !is_day(value.get<std::string>())) {
    refuse(index, std::string("\"") + key + "\" must be a day as YYYY-MM-DD");
  }
  return value.get<std::string>();
}

ModelInfo listed_entry(const std::string& name, Service service, const std::string& day) {
  ModelInfo model;
  model.name = name;
  model.service = service;
  model.listed_on = day;
  return model;
}

}  // namespace

std::string_view to_string(Service service) noexcept {
  return service == Service::kGemini ? "gemini" : "images";
}

std::optional<Service> parse_service(std::string_view text) noexcept {
  if (text == "gemini") return Service::kGemini;
  if (text == "images") return Service::kImages;
  return std::nullopt;
}

std::string utc_day(std::chrono::system_clock::time_point when) {
  const std::chrono::year_month_day day{std::chrono::floor<std::chrono::days>(when)};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return text;
}

bool ModelInfo::shut_down_by(std::string_view day) const noexcept {
  // Days as YYYY-MM-DD compare as text.
  return shutdown_on.has_value() && *shutdown_on <= day;
}

bool ModelInfo::takes_ratio(std::string_view ratio) const { return contains(aspect_ratios, ratio); }

bool ModelInfo::takes_image_size(std::string_view size) const {
  return contains(image_sizes, size);
}

bool ModelInfo::takes_parameter(std::string_view parameter) const {
  return contains(parameters, parameter);
}

const std::vector<std::string>* ModelInfo::values_of(std::string_view parameter) const {
  const auto found = values.find(parameter);
  return found == values.end() ? nullptr : &found->second;
}

ModelCatalogue::ModelCatalogue(std::vector<ModelInfo> models, std::string prices_as_of,
                               std::string as_of)
    : models_(std::move(models)), prices_as_of_(std::move(prices_as_of)), as_of_(std::move(as_of)) {
  for (std::size_t i = 0; i < models_.size(); ++i) {
    const ModelInfo& model = models_[i];
    if (model.name.empty()) refuse(i, "a model needs a name");
    if (model.shutdown_on) {
      if (!is_day(*model.shutdown_on)) refuse(i, model.name + ": shutdown_on must be YYYY-MM-DD");
      if (model.replacement.empty()) {
        refuse(i, model.name + " is retired but names no replacement");
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (models_[j].name == model.name) refuse(i, model.name + " is listed twice");
    }
  }
}

const ModelCatalogue& ModelCatalogue::builtin() {
  static const ModelCatalogue catalogue(builtin_models(), std::string(builtin_prices_as_of()),
                                        std::string(kBuiltinAsOf));
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
    const auto service = parse_service(entry.value("service", ""));
    if (!service) refuse(i, "\"service\" must be \"gemini\" or \"images\"");
    model.service = *service;
    // "retired_on": the name of catalogues written before shutdowns were dated ahead.
    model.shutdown_on = day_of(entry, "shutdown_on", i);
    if (!model.shutdown_on) model.shutdown_on = day_of(entry, "retired_on", i);
    if (model.shutdown_on) model.replacement = entry.value("replacement", "");
    model.note = entry.value("note", "");
    model.aspect_ratios = strings_of(entry, "aspect_ratios", i);
    model.image_sizes = strings_of(entry, "image_sizes", i);
    model.sizes = strings_of(entry, "sizes", i);
    model.parameters = strings_of(entry, "parameters", i);
    if (entry.contains("values") && !entry.at("values").is_null()) {
      if (!entry.at("values").is_object()) refuse(i, "\"values\" must be an object of lists");
      for (const auto& item : entry.at("values").items()) {
        model.values.emplace(item.key(), strings_of(entry.at("values"), item.key().c_str(), i));
      }
    }
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
    model.listed_on = day_of(entry, "listed_on", i);
    model.unlisted_on = day_of(entry, "unlisted_on", i);
    models.push_back(std::move(model));
  }
  const auto day_member = [&](const char* key) {
    if (!document.is_object() || !document.contains(key)) return std::string();
    if (!document.at(key).is_string()) {
      throw std::invalid_argument(std::string("model catalogue: \"") + key +
                                  "\" must be a date text");
    }
    return document.at(key).get<std::string>();
  };
  return ModelCatalogue(std::move(models), day_member("prices_as_of"), day_member("as_of"));
}

nlohmann::ordered_json ModelCatalogue::to_json() const {
  const auto or_null = [](const std::optional<std::string>& text) {
    return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
  };
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const ModelInfo& model : models_) {
    nlohmann::ordered_json entry;
    entry["name"] = model.name;
    entry["service"] = to_string(model.service);
    entry["shutdown_on"] = or_null(model.shutdown_on);
    if (model.shutdown_on) entry["replacement"] = model.replacement;
    if (!model.note.empty()) entry["note"] = model.note;
    if (model.listed_on) entry["listed_on"] = *model.listed_on;
    if (model.unlisted_on) entry["unlisted_on"] = *model.unlisted_on;
    if (model.service == Service::kGemini) {
      entry["aspect_ratios"] = model.aspect_ratios;
      entry["image_sizes"] = model.image_sizes;
    } else {
      entry["sizes"] = model.sizes;
    }
    entry["parameters"] = model.parameters;
    if (!model.values.empty()) {
      nlohmann::ordered_json values = nlohmann::ordered_json::object();
      for (const auto& [parameter, listed] : model.values) values[parameter] = listed;
      entry["values"] = std::move(values);
    }
    if (model.max_images) entry["max_images"] = *model.max_images;
    entry["prices"] = model.prices ? host::to_json(*model.prices) : nlohmann::ordered_json(nullptr);
    list.push_back(std::move(entry));
  }
  return {{"as_of", as_of_}, {"prices_as_of", prices_as_of_}, {"models", std::move(list)}};
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

ModelChoice ModelCatalogue::choose(std::string_view name, Service service, Dialect dialect,
                                   std::string_view day) const {
  ModelChoice choice;
  choice.sent = std::string(name);
  const ModelInfo* info = find(name, service);
  if (info == nullptr) {
    choice.unknown = true;
    if (dialect == Dialect::kDirect) {
      choice.note = "not in the catalogue" + (as_of_.empty() ? std::string() : " of " + as_of_) +
                    "; sent unchecked";
    }
    return choice;
  }
  if (!info->capabilities_known()) {
    choice.note =
        "listed by the service on " + *info->listed_on + ", capabilities unknown; sent unchecked";
    return choice;
  }
  choice.checked = info;
  if (info->shut_down_by(day) && dialect == Dialect::kDirect) {
    // Follow replacements until one still served (a bounded walk: a table may hold a cycle).
    const ModelInfo* served = info;
    for (std::size_t hops = 0; served->shut_down_by(day) && hops < models_.size(); ++hops) {
      const ModelInfo* next = find(served->replacement, service);
      if (next == nullptr || !next->capabilities_known()) {
        served = nullptr;
        break;
      }
      served = next;
    }
    choice.sent = served != nullptr ? served->name : info->replacement;
    choice.checked = served;
    choice.shutdown_on = info->shutdown_on;
    choice.note = info->name + " was retired on " + *info->shutdown_on + "; sent as " + choice.sent;
    return choice;
  }
  if (info->shutdown_on) {
    // A gateway may still route a name past its day; the caller hears of it either way.
    choice.warning = info->name +
                     (info->shut_down_by(day) ? " was shut down on " : " is shut down on ") +
                     *info->shutdown_on + "; use " + info->replacement;
  } else if (info->unlisted_on) {
    choice.warning = info->name + " was not listed by the service on " + *info->unlisted_on;
  } else if (!info->note.empty()) {
    choice.warning = info->note;
  }
  return choice;
}

CatalogueRefresh ModelCatalogue::refresh(std::span<const ServiceListing> listings) const {
  std::vector<ModelInfo> models;
  std::vector<std::string> changes;
  const auto listing_of = [&](Service service) -> const ServiceListing* {
    for (const ServiceListing& listing : listings) {
      if (listing.service == service) return &listing;
    }
    return nullptr;
  };
  for (const ModelInfo& model : models_) {
    const ServiceListing* listing = listing_of(model.service);
    if (listing == nullptr) {
      models.push_back(model);
      continue;
    }
    const bool listed = contains(listing->models, model.name);
    if (!model.capabilities_known()) {
      // An entry an earlier list gave stays only while the service lists it.
      if (listed) {
        models.push_back(model);
      } else {
        changes.push_back(model.name + ": no longer listed by the service on " + listing->day +
                          "; dropped");
      }
      continue;
    }
    ModelInfo kept = model;
    const bool current = !model.shut_down_by(listing->day);
    if (listed && kept.unlisted_on) {
      kept.unlisted_on.reset();
      changes.push_back(model.name + ": listed again on " + listing->day);
    } else if (!listed && current && !kept.unlisted_on) {
      kept.unlisted_on = listing->day;
      changes.push_back(model.name + ": not listed on " + listing->day);
    } else if (!listed && current) {
      kept.unlisted_on = listing->day;
    }
    models.push_back(std::move(kept));
  }
  for (const ServiceListing& listing : listings) {
    for (const std::string& name : listing.models) {
      const bool known = std::any_of(models.begin(), models.end(),
                                     [&](const ModelInfo& model) { return model.name == name; });
      if (known) continue;
      models.push_back(listed_entry(name, listing.service, listing.day));
      changes.push_back(name + ": listed by the service on " + listing.day +
                        ", capabilities unknown; added");
    }
  }
  // Current models before those shut down, as the table keeps them.
  std::string day = as_of_;
  for (const ServiceListing& listing : listings) day = std::max(day, listing.day);
  std::stable_partition(models.begin(), models.end(),
                        [&](const ModelInfo& model) { return !model.shut_down_by(day); });
  return {std::make_shared<const ModelCatalogue>(std::move(models), prices_as_of_, as_of_),
          std::move(changes)};
}

}  // namespace zantrel::host
