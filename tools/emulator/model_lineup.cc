#include "tools/emulator/model_lineup.h"

#include <algorithm>
#include <charconv>

namespace zantrel::emulator {
namespace {

// Text models both services list beside the image ones: a refresh must leave them out.
const std::vector<std::string> kGeminiTextModels = {"gemini-3-flash", "gemini-3.1-pro",
                                                    "text-embedding-005"};
const std::vector<std::string> kImagesTextModels = {"gpt-6.1-sol", "whisper-1"};

bool named_in(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The launches "new-models" serves, which no catalogue describes: nothing asked of their
// requests.
const std::vector<host::ModelInfo>& launches() {
  static const std::vector<host::ModelInfo> entries = [] {
    std::vector<host::ModelInfo> out(2);
    out[0].name = "gemini-nano-banana-2.2-preview";
    out[0].service = host::Service::kGemini;
    out[1].name = "gpt-image-2.7-ember";
    out[1].service = host::Service::kImages;
    for (host::ModelInfo& entry : out) entry.listed_on = "2026-12-11";
    return out;
  }();
  return entries;
}

// The display name and description a Gemini listing carries, as the service writes them.
nlohmann::json gemini_entry(const std::string& name, bool image) {
  const std::string display = image ? "Nano Banana (" + name + ")" : name;
  return {{"name", "models/" + name},
          {"version", "001"},
          {"displayName", display},
          {"description", image ? "Gemini image generation and editing model"
                                : "Gemini text and multimodal understanding model"},
          {"inputTokenLimit", image ? 65536 : 1048576},
          {"outputTokenLimit", image ? 32768 : 65536},
          {"supportedGenerationMethods",
           image ? nlohmann::json{"generateContent", "countTokens", "batchGenerateContent"}
                 : nlohmann::json{"generateContent", "countTokens"}}};
}

}  // namespace

const std::vector<std::string>& ModelLineup::launched() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const host::ModelInfo& entry : launches()) out.push_back(entry.name);
    return out;
  }();
  return names;
}

const std::vector<std::string>& ModelLineup::withdrawn() {
  static const std::vector<std::string> names = {"gemini-3.1-flash-lite-image",
                                                 "gpt-image-2.5-flare"};
  return names;
}

ModelLineup::ModelLineup(const host::ModelCatalogue& catalogue, const Scenario& scenario,
                         std::string day)
    : catalogue_(catalogue), changed_(scenario.fault == Fault::kNewModels), day_(std::move(day)) {}

const host::ModelInfo* ModelLineup::served(host::Service service, std::string_view name) const {
  if (changed_) {
    for (const host::ModelInfo& entry : launches()) {
      if (entry.service == service && entry.name == name) return &entry;
    }
    if (named_in(withdrawn(), std::string(name))) return nullptr;
  }
  const host::ModelInfo* model = catalogue_.find(name, service);
  return model != nullptr && !model->shut_down_by(day_) ? model : nullptr;
}

std::vector<const host::ModelInfo*> ModelLineup::models(host::Service service) const {
  std::vector<const host::ModelInfo*> out;
  for (const host::ModelInfo& model : catalogue_.models()) {
    if (model.service == service && served(service, model.name) != nullptr) out.push_back(&model);
  }
  if (changed_) {
    for (const host::ModelInfo& entry : launches()) {
      if (entry.service == service) out.push_back(&entry);
    }
  }
  return out;
}

nlohmann::json ModelLineup::gemini_page(int page_size, const std::string& page_token) const {
  std::vector<nlohmann::json> all;
  for (const host::ModelInfo* model : models(host::Service::kGemini)) {
    all.push_back(gemini_entry(model->name, true));
  }
  for (const std::string& name : kGeminiTextModels) all.push_back(gemini_entry(name, false));
  std::size_t from = 0;
  if (!page_token.empty()) {
    std::from_chars(page_token.data(), page_token.data() + page_token.size(), from);
  }
  const std::size_t size = static_cast<std::size_t>(std::clamp(page_size, 1, 1000));
  nlohmann::json page{{"models", nlohmann::json::array()}};
  for (std::size_t i = from; i < all.size() && i < from + size; ++i)
    page["models"].push_back(all[i]);
  if (from + size < all.size()) page["nextPageToken"] = std::to_string(from + size);
  return page;
}

nlohmann::json ModelLineup::images_list() const {
  nlohmann::json data = nlohmann::json::array();
  const auto entry = [](const std::string& name) {
    return nlohmann::json{
        {"id", name}, {"object", "model"}, {"created", 1767225600}, {"owned_by", "system"}};
  };
  for (const host::ModelInfo* model : models(host::Service::kImages))
    data.push_back(entry(model->name));
  for (const std::string& name : kImagesTextModels) data.push_back(entry(name));
  return {{"object", "list"}, {"data", std::move(data)}};
}

}  // namespace zantrel::emulator
