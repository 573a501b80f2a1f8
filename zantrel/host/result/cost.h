#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zantrel::host {

// Which of a model's prices a request is billed at: sent directly, or run by the service's
// own batch engine.
enum class PriceTier { kStandard, kBatch };

std::string_view to_string(PriceTier tier) noexcept;  // "standard", "batch"

// A call's tokens by what they bill as.
struct TokenCounts {
  std::int64_t input_text = 0;
  std::int64_t input_image = 0;
  std::int64_t output_text = 0;  // Gemini's thoughts included
  std::int64_t output_image = 0;
};

// What a call cost, estimated from the tokens the service counted and the catalogue's prices:
// the service's bill is the authority.
struct CostEstimate {
  double usd = 0;
  TokenCounts tokens;
  PriceTier tier = PriceTier::kStandard;
  std::string model;         // the model priced: the one the request named
  std::string prices_as_of;  // when the catalogue's prices were read (empty when it did not say)
};

// {"usd", "estimated": true, "tier", "model", "prices_as_of", "tokens": {...}}.
nlohmann::ordered_json to_json(const CostEstimate& cost);

}  // namespace zantrel::host
