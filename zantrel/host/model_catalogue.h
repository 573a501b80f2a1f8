#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/model_prices.h"

namespace zantrel::host {

enum class Service { kGemini, kImages };

std::string_view to_string(Service service) noexcept;  // "gemini", "images"

// What one model of a service takes.
struct ModelInfo {
  std::string name;
  Service service = Service::kGemini;
  // A retired model: the day the service stopped serving it and the model that took its place.
  std::optional<std::string> retired_on;
  std::string replacement;
  // Gemini: the aspect ratios and image sizes ("imageSize") it takes; no sizes = it takes none,
  // and none is sent.
  std::vector<std::string> aspect_ratios;
  std::vector<std::string> image_sizes;
  // Images API: the sizes ("WxH", "auto") it takes; none = any size the size calculator makes.
  std::vector<std::string> sizes;
  // The optional request members it accepts, by the client's names ("seed", "background" ...).
  std::vector<std::string> parameters;
  // Images one request may carry at most (references, and a conversation's earlier images);
  // nothing when the service states no bound.
  std::optional<int> max_images;
  // What its tokens cost; nothing when the catalogue knows no price for it.
  std::optional<ModelPrices> prices;

  bool retired() const noexcept { return retired_on.has_value(); }
  bool takes_ratio(std::string_view ratio) const;
  bool takes_image_size(std::string_view size) const;
  bool takes_parameter(std::string_view parameter) const;
};

// The models the clients know: what each takes and which are retired. The library's own table
// is `builtin()`; a host may replace it at start-up (`config::set_model_catalogue`), from its own
// configuration in the JSON form of `to_json`, prices included (its own contract's, say).
class ModelCatalogue {
 public:
  // `prices_as_of`: the day the models' prices were read from the services' pages.
  explicit ModelCatalogue(std::vector<ModelInfo> models, std::string prices_as_of = {});

  static const ModelCatalogue& builtin();
  // Throws std::invalid_argument naming the entry and member at fault.
  static ModelCatalogue from_json(const nlohmann::json& document);
  nlohmann::ordered_json to_json() const;

  // The model named `name` (exactly), or nullptr.
  const ModelInfo* find(std::string_view name) const;
  const ModelInfo* find(std::string_view name, Service service) const;
  // In table order: current models first, then retired ones.
  const std::vector<ModelInfo>& models() const noexcept { return models_; }
  std::vector<std::string> names(Service service) const;
  // Every ratio some model of `service` takes, in table order without repeats.
  std::vector<std::string> ratios(Service service) const;
  const std::string& prices_as_of() const noexcept { return prices_as_of_; }

 private:
  std::vector<ModelInfo> models_;
  std::string prices_as_of_;
};

}  // namespace zantrel::host
