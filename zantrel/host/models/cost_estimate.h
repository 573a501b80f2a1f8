#pragma once

#include <optional>
#include <string_view>

#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/cost.h"

namespace zantrel::host {

class ModelCatalogue;

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

}  // namespace zantrel::host
