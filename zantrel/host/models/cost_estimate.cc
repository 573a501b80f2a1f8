#include "zantrel/host/models/cost_estimate.h"

#include <algorithm>
#include <cmath>

#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::host {
namespace {

using json = nlohmann::ordered_json;

std::int64_t count_at(const json& object, const char* key) {
  const auto found = object.is_object() ? object.find(key) : object.end();
  if (found == object.end() || !found->is_number_integer()) return 0;
  return std::max<std::int64_t>(0, found->get<std::int64_t>());
}

// Gemini's [{"modality", "tokenCount"}] list, images and the rest (text, documents ...) apart.
// False when there is no such list.
bool by_modality(const json& usage, const char* key, std::int64_t& text, std::int64_t& image) {
  const auto list = usage.find(key);
  if (list == usage.end() || !list->is_array()) return false;
  for (const json& entry : *list) {
    const std::int64_t tokens = count_at(entry, "tokenCount");
    (entry.is_object() && entry.value("modality", "") == "IMAGE" ? image : text) += tokens;
  }
  return true;
}

TokenCounts gemini_tokens(const json& usage) {
  TokenCounts counts;
  if (!by_modality(usage, "promptTokensDetails", counts.input_text, counts.input_image)) {
    counts.input_text = count_at(usage, "promptTokenCount");
  }
  if (!by_modality(usage, "candidatesTokensDetails", counts.output_text, counts.output_image)) {
    counts.output_image = count_at(usage, "candidatesTokenCount");
  }
  counts.output_text += count_at(usage, "thoughtsTokenCount");
  return counts;
}

TokenCounts images_tokens(const json& usage) {
  TokenCounts counts;
  const auto input = usage.find("input_tokens_details");
  if (input != usage.end() && input->is_object()) {
    counts.input_text = count_at(*input, "text_tokens");
    counts.input_image = count_at(*input, "image_tokens");
  } else {
    counts.input_text = count_at(usage, "input_tokens");
  }
  const auto output = usage.find("output_tokens_details");
  if (output != usage.end() && output->is_object()) {
    counts.output_text = count_at(*output, "text_tokens");
    counts.output_image = count_at(*output, "image_tokens");
  } else {
    counts.output_image = count_at(usage, "output_tokens");
  }
  return counts;
}

}  // namespace

std::optional<TokenCounts> token_counts(const Usage& usage) {
  const json& raw = usage.raw;
  if (!raw.is_object()) return std::nullopt;
  // The two services' usage objects share no member names.
  if (raw.contains("promptTokenCount") || raw.contains("candidatesTokenCount")) {
    return gemini_tokens(raw);
  }
  if (raw.contains("input_tokens") || raw.contains("output_tokens")) return images_tokens(raw);
  return std::nullopt;
}

std::optional<CostEstimate> estimate_cost(const ModelCatalogue& catalogue, std::string_view model,
                                          const Usage& usage, PriceTier tier) {
  const ModelInfo* info = catalogue.find(model);
  if (info == nullptr || !info->prices) return std::nullopt;
  const auto tokens = token_counts(usage);
  if (!tokens) return std::nullopt;
  const TokenPrices& price =
      tier == PriceTier::kBatch ? info->prices->batch : info->prices->standard;
  const auto dollars = [](std::int64_t count, double per_million) {
    return static_cast<double>(count) * per_million / 1e6;
  };
  CostEstimate cost;
  cost.usd = dollars(tokens->input_text, price.input_text) +
             dollars(tokens->input_image, price.input_image) +
             dollars(tokens->output_text, price.output_text) +
             dollars(tokens->output_image, price.output_image);
  cost.tokens = *tokens;
  cost.tier = tier;
  cost.model = std::string(model);
  cost.prices_as_of = catalogue.prices_as_of();
  return cost;
}

}  // namespace zantrel::host
