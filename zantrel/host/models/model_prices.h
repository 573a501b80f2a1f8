#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zantrel::host {

// What a model's tokens cost, in US dollars per million, as a service's price page lists them.
// Text output counts a Gemini model's thoughts too.
struct TokenPrices {
  double input_text = 0;
  double input_image = 0;
  double output_text = 0;
  double output_image = 0;
};

// A model's prices when called directly and when run by the service's own batch engine.
struct ModelPrices {
  TokenPrices standard;
  TokenPrices batch;
};

// The library's own prices of a model (nullopt for a name it has none for), from the services'
// public price pages as of `builtin_prices_as_of()`.
std::optional<ModelPrices> builtin_prices(std::string_view model);
std::string_view builtin_prices_as_of() noexcept;

// The JSON form: {"standard": {"input_text", "input_image", "output_text", "output_image"},
// "batch": {...}}; a batch row left out is half the standard one, as both services bill
// batches. `from_json` throws std::invalid_argument naming the member at fault.
nlohmann::ordered_json to_json(const ModelPrices& prices);
ModelPrices prices_from_json(const nlohmann::json& value);

}  // namespace zantrel::host
