#include "zantrel/host/models/model_prices.h"

#include <array>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace zantrel::host {
namespace {

// Both services bill a batch at half the price of the same request sent directly.
TokenPrices halved(const TokenPrices& row) {
  return {row.input_text / 2, row.input_image / 2, row.output_text / 2, row.output_image / 2};
}

ModelPrices priced(double input_text, double input_image, double output_text, double output_image) {
  const TokenPrices standard{input_text, input_image, output_text, output_image};
  return {standard, halved(standard)};
}

struct Row {
  std::string_view model;
  ModelPrices prices;
};

// USD per million tokens: input text, input image, output text (thoughts included), output
// image. Sources, read 2026-12:
// - Gemini: https://ai.google.dev/gemini-api/docs/pricing (the image models' rows; an image of
//   1K is 1,120 output tokens). The retired -preview names cost what their replacements cost.
//   gemini-nano-banana-2.1: the pricing page's row could not be read here; its launch prices
//   ($1.50 text in, $7.50 text out, $30 image out per 1M) are LiteLLM's day-0 note
//   (github.com/BerriAI/litellm/discussions/44983), image input priced as text input, as
//   Gemini prices its image models.
// - Images API: https://developers.openai.com/api/docs/models/<model> ("Text tokens" and "Image
//   tokens" per 1M; the Batch API halves both). The 2.5 and 2.6 pages list $5 text in, $8
//   image in and $30 image out, and no text output.
const std::array kRows = {
    Row{"gemini-nano-banana-2.1", priced(1.50, 1.50, 7.50, 30.00)},
    Row{"gemini-3-pro-image", priced(2.00, 2.00, 12.00, 120.00)},
    Row{"gemini-3.1-flash-image", priced(0.50, 0.50, 3.00, 60.00)},
    Row{"gemini-3.1-flash-lite-image", priced(0.25, 0.25, 1.50, 30.00)},
    Row{"gemini-2.5-flash-image", priced(0.30, 0.30, 2.50, 30.00)},
    Row{"gemini-3-pro-image-preview", priced(2.00, 2.00, 12.00, 120.00)},
    Row{"gemini-3.1-flash-image-preview", priced(0.50, 0.50, 3.00, 60.00)},
    Row{"gpt-image-2", priced(5.00, 8.00, 10.00, 30.00)},
    Row{"gpt-image-2-2026-04-21", priced(5.00, 8.00, 10.00, 30.00)},
    Row{"gpt-image-2.5-sunburst", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-2.5-sunburst-2026-09-08", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-2.5-flare", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-2.5-flare-2026-09-08", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-2.6-sunburst", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-2.6-flare", priced(5.00, 8.00, 0.00, 30.00)},
    Row{"gpt-image-1.5-2025-12-16", priced(5.00, 8.00, 10.00, 32.00)},
    Row{"chatgpt-image-latest", priced(5.00, 8.00, 10.00, 32.00)},
    Row{"gpt-image-1.5", priced(5.00, 8.00, 10.00, 32.00)},
    Row{"gpt-image-1", priced(5.00, 10.00, 0.00, 40.00)},
    Row{"gpt-image-1-mini", priced(2.00, 2.50, 0.00, 8.00)},
};

constexpr const char* kMembers[] = {"input_text", "input_image", "output_text", "output_image"};

double* member(TokenPrices& row, int index) {
  const std::array members = {&row.input_text, &row.input_image, &row.output_text,
                              &row.output_image};
  return members[static_cast<std::size_t>(index)];
}

TokenPrices row_from_json(const nlohmann::json& value, const std::string& where) {
  if (!value.is_object()) throw std::invalid_argument("\"" + where + "\" must be an object");
  TokenPrices row;
  for (int i = 0; i < 4; ++i) {
    const auto found = value.find(kMembers[i]);
    if (found == value.end()) continue;
    if (!found->is_number() || !std::isfinite(found->get<double>()) || found->get<double>() < 0) {
      throw std::invalid_argument("\"" + where + "." + kMembers[i] +
                                  "\" must be a number of dollars from 0");
    }
    *member(row, i) = found->get<double>();
  }
  return row;
}

nlohmann::ordered_json row_to_json(TokenPrices row) {
  nlohmann::ordered_json out;
  for (int i = 0; i < 4; ++i) out[kMembers[i]] = *member(row, i);
  return out;
}

}  // namespace

std::optional<ModelPrices> builtin_prices(std::string_view model) {
  for (const Row& row : kRows) {
    if (row.model == model) return row.prices;
  }
  return std::nullopt;
}

std::string_view builtin_prices_as_of() noexcept { return "2026-12-01"; }

nlohmann::ordered_json to_json(const ModelPrices& prices) {
  return {{"standard", row_to_json(prices.standard)}, {"batch", row_to_json(prices.batch)}};
}

ModelPrices prices_from_json(const nlohmann::json& value) {
  if (!value.is_object() || !value.contains("standard")) {
    throw std::invalid_argument("\"prices\" must be an object with a \"standard\" row");
  }
  ModelPrices prices;
  prices.standard = row_from_json(value.at("standard"), "prices.standard");
  prices.batch = value.contains("batch") ? row_from_json(value.at("batch"), "prices.batch")
                                         : halved(prices.standard);
  return prices;
}

}  // namespace zantrel::host
