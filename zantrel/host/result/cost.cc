#include "zantrel/host/result/cost.h"

#include <cmath>

namespace zantrel::host {

using json = nlohmann::ordered_json;

std::string_view to_string(PriceTier tier) noexcept {
  return tier == PriceTier::kBatch ? "batch" : "standard";
}

json to_json(const CostEstimate& cost) {
  return {{"usd", std::round(cost.usd * 1e8) / 1e8},
          {"estimated", true},
          {"tier", to_string(cost.tier)},
          {"model", cost.model},
          {"prices_as_of", cost.prices_as_of},
          {"tokens",
           {{"input_text", cost.tokens.input_text},
            {"input_image", cost.tokens.input_image},
            {"output_text", cost.tokens.output_text},
            {"output_image", cost.tokens.output_image}}}};
}

}  // namespace zantrel::host
