#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace zantrel::host {

class ModelCatalogue;
struct Usage;

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

// The tokens of a service's usage object by kind: Gemini's promptTokensDetails and
// candidatesTokensDetails by modality, plus thoughtsTokenCount; the images API's
// input_tokens_details and output_tokens_details. Where a service gives no details, input
// counts as text and output as image (the dearer reading). Nothing when `usage` holds no counts.
std::optional<TokenCounts> token_counts(const Usage& usage);

// The cost of `usage` at `model`'s prices in `catalogue`; nothing when the catalogue has no
// prices for the model or the usage no counts.
std::optional<CostEstimate> estimate_cost(const ModelCatalogue& catalogue, std::string_view model,
                                          const Usage& usage,
                                          PriceTier tier = PriceTier::kStandard);

// {"usd", "estimated": true, "tier", "model", "prices_as_of", "tokens": {...}}.
nlohmann::ordered_json to_json(const CostEstimate& cost);

}  // namespace zantrel::host
