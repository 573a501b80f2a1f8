#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/dialect.h"
#include "zantrel/host/models/model_prices.h"

namespace zantrel::host {

enum class Service { kGemini, kImages };

std::string_view to_string(Service service) noexcept;  // "gemini", "images"
// The service a text names (as to_string writes it); nothing for any other text.
std::optional<Service> parse_service(std::string_view text) noexcept;

// A calendar day in UTC as "YYYY-MM-DD": the day shutdown dates are compared with.
std::string utc_day(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

// What one model of a service takes.
struct ModelInfo {
  std::string name;
  Service service = Service::kGemini;
  // The day ("YYYY-MM-DD") the service stops, or stopped, serving it, and the model to use
  // instead. Before that day a call goes out as asked, with a warning; from it, the direct
  // dialect names the replacement.
  std::optional<std::string> shutdown_on;
  std::string replacement;
  // A fact every caller of the model should hear (a warning in the report), e.g. who it is
  // still served to.
  std::string note;
  // Gemini: the aspect ratios and image sizes ("imageSize") it takes; no sizes = it takes none,
  // and none is sent.
  std::vector<std::string> aspect_ratios;
  std::vector<std::string> image_sizes;
  // Images API: the sizes ("WxH", "auto") it takes; none = any size the size calculator makes.
  std::vector<std::string> sizes;
  // The optional request members it accepts, by the client's names ("seed", "background" ...).
  std::vector<std::string> parameters;
  // The values a member takes where this model's list is not the service's common one
  // ("quality" -> low ... max).
  std::map<std::string, std::vector<std::string>, std::less<>> values;
  // Images one request may carry at most (references, and a conversation's earlier images);
  // nothing when the service states no bound.
  std::optional<int> max_images;
  // What its tokens cost; nothing when the catalogue knows no price for it.
  std::optional<ModelPrices> prices;
  // Set by a refresh: the day the service's own list named a model this table lacked (its
  // capabilities unknown, so it is sent unchecked), or the day the list left out one it has.
  std::optional<std::string> listed_on;
  std::optional<std::string> unlisted_on;

  bool shut_down_by(std::string_view day) const noexcept;
  // Whether the catalogue knows what the model takes (false for an entry only a list gave).
  bool capabilities_known() const noexcept { return !listed_on.has_value(); }
  bool takes_ratio(std::string_view ratio) const;
  bool takes_image_size(std::string_view size) const;
  bool takes_parameter(std::string_view parameter) const;
  // The model's own values of `parameter`, or nullptr when it takes the service's common ones.
  const std::vector<std::string>* values_of(std::string_view parameter) const;
};

// The model a call names, as the catalogue decides it for one dialect on one day.
struct ModelChoice {
  // The entry whose checks apply; nullptr when the call goes unchecked (a name the catalogue
  // does not know, or one only a service's list gave).
  const ModelInfo* checked = nullptr;
  // Whether the name is unknown to a gateway's list: refused by the gateway dialect.
  bool unknown = false;
  std::string sent;                    // the name the request carries
  std::optional<std::string> note;     // why it is sent as it is: replaced, or unchecked
  std::optional<std::string> warning;  // what the caller should know: a shutdown ahead ...
  // The shutdown day of the name asked, when it was replaced by its successor.
  std::optional<std::string> shutdown_on;
};

// What a service's own model list named on one day: the image models among them.
struct ServiceListing {
  Service service = Service::kGemini;
  std::string day;
  std::vector<std::string> models;
};

class ModelCatalogue;

// A catalogue merged with services' lists, and what the merge changed, one line each.
struct CatalogueRefresh {
  std::shared_ptr<const ModelCatalogue> catalogue;
  std::vector<std::string> changes;
};

// The models the clients know: what each takes and when it is shut down. The library's own
// table is `builtin()`, a snapshot of the services' pages on `as_of()`; it helps, it never
// blocks: a name it does not know goes to the service unchecked in the direct dialect. A host
// may replace it at start-up (`config::set_model_catalogue`), from its own configuration in the
// JSON form of `to_json`, prices included (its own contract's, say), or merge the services' own
// lists into it (`refresh`, and `refresh_model_catalogue` in catalogue_refresh.h).
class ModelCatalogue {
 public:
  // `prices_as_of`: the day the models' prices were read from the services' pages; `as_of`: the
  // day the table as a whole was (empty: not said). Throws std::invalid_argument naming the
  // entry at fault (no name, a name twice, a shutdown without a date or a replacement).
  explicit ModelCatalogue(std::vector<ModelInfo> models, std::string prices_as_of = {},
                          std::string as_of = {});

  static const ModelCatalogue& builtin();
  // Throws std::invalid_argument naming the entry and member at fault.
  static ModelCatalogue from_json(const nlohmann::json& document);
  nlohmann::ordered_json to_json() const;

  // The model named `name` (exactly), or nullptr.
  const ModelInfo* find(std::string_view name) const;
  const ModelInfo* find(std::string_view name, Service service) const;
  // In table order: current models first, then those shut down.
  const std::vector<ModelInfo>& models() const noexcept { return models_; }
  std::vector<std::string> names(Service service) const;
  // Every ratio some model of `service` takes, in table order without repeats.
  std::vector<std::string> ratios(Service service) const;
  const std::string& prices_as_of() const noexcept { return prices_as_of_; }
  const std::string& as_of() const noexcept { return as_of_; }

  // The model a call of `service` asking `name` sends on `day` in `dialect`. The direct
  // dialect sends a name past its shutdown as its replacement (followed until one that is
  // served) and a name the catalogue does not know as given; the gateway dialect sends names as
  // given, its host's list deciding which exist.
  ModelChoice choose(std::string_view name, Service service, Dialect dialect,
                     std::string_view day) const;

  // This catalogue with the services' lists merged in: a listed model it lacks becomes an entry
  // of unknown capabilities, a current one a list leaves out is marked unlisted (a warning when
  // used), and one listed again loses that mark. Each listing replaces what an earlier refresh
  // said of its service.
  CatalogueRefresh refresh(std::span<const ServiceListing> listings) const;

 private:
  std::vector<ModelInfo> models_;
  std::string prices_as_of_;
  std::string as_of_;
};

}  // namespace zantrel::host
