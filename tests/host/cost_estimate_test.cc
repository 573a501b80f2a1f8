// A call's estimated cost from the tokens a service counted and the catalogue's prices.
#include "zantrel/host/models/cost_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::host {
namespace {

using json = nlohmann::json;

Usage usage_of(const char* raw) {
  Usage usage;
  usage.raw = nlohmann::ordered_json::parse(raw);
  return usage;
}

// 1,000 text and 560 image tokens in; 200 text, 100 thought and 1,120 image tokens out.
constexpr char kGeminiUsage[] = R"({"promptTokenCount": 1560, "candidatesTokenCount": 1320,
    "thoughtsTokenCount": 100,
    "promptTokensDetails": [{"modality": "TEXT", "tokenCount": 1000},
                            {"modality": "IMAGE", "tokenCount": 560}],
    "candidatesTokensDetails": [{"modality": "TEXT", "tokenCount": 200},
                                {"modality": "IMAGE", "tokenCount": 1120}]})";
// 100 text and 500 image tokens in; 20 text and 1,056 image tokens out.
constexpr char kImagesUsage[] = R"({"input_tokens": 600, "output_tokens": 1076,
    "input_tokens_details": {"text_tokens": 100, "image_tokens": 500},
    "output_tokens_details": {"text_tokens": 20, "image_tokens": 1056}})";

// Each row worked by hand from the price pages' dollars per million tokens.
TEST(CostEstimate, EachModelsPricesGiveTheHandWorkedCost) {
  struct Row {
    const char* model;
    const char* usage;
    double usd;
  };
  const Row rows[] = {
      // 1000*1.5 + 560*1.5 + 300*7.5 + 1120*30
      {"gemini-nano-banana-2.1", kGeminiUsage, 0.038190},
      // 1000*2 + 560*2 + 300*12 + 1120*120
      {"gemini-3-pro-image", kGeminiUsage, 0.141120},
      // 1000*0.5 + 560*0.5 + 300*3 + 1120*60
      {"gemini-3.1-flash-image", kGeminiUsage, 0.068880},
      // 1000*0.25 + 560*0.25 + 300*1.5 + 1120*30
      {"gemini-3.1-flash-lite-image", kGeminiUsage, 0.034440},
      // 1000*0.3 + 560*0.3 + 300*2.5 + 1120*30
      {"gemini-2.5-flash-image", kGeminiUsage, 0.034818},
      // Retired names cost what their replacements do.
      {"gemini-3-pro-image-preview", kGeminiUsage, 0.141120},
      {"gemini-3.1-flash-image-preview", kGeminiUsage, 0.068880},
      // 100*5 + 500*8 + 20*10 + 1056*30
      {"gpt-image-2", kImagesUsage, 0.036380},
      {"gpt-image-2-2026-04-21", kImagesUsage, 0.036380},
      // 100*5 + 500*8 + 1056*30 (no text output price)
      {"gpt-image-2.6-sunburst", kImagesUsage, 0.036180},
      // 100*5 + 500*8 + 20*10 + 1056*32
      {"gpt-image-1.5", kImagesUsage, 0.038492},
      // 100*5 + 500*10 + 1056*40 (no text output price)
      {"gpt-image-1", kImagesUsage, 0.047740},
      // 100*2 + 500*2.5 + 1056*8
      {"gpt-image-1-mini", kImagesUsage, 0.009898},
  };
  const ModelCatalogue& catalogue = ModelCatalogue::builtin();
  for (const ModelInfo& model : catalogue.models()) {
    EXPECT_TRUE(model.prices) << model.name << " has no price";
  }
  for (const Row& row : rows) {
    const auto standard = estimate_cost(catalogue, row.model, usage_of(row.usage));
    ASSERT_TRUE(standard) << row.model;
    EXPECT_NEAR(standard->usd, row.usd, 1e-9) << row.model;
    EXPECT_EQ(standard->model, row.model);
    EXPECT_EQ(standard->prices_as_of, "2026-12-01");
    const auto batch = estimate_cost(catalogue, row.model, usage_of(row.usage), PriceTier::kBatch);
    ASSERT_TRUE(batch) << row.model;
    EXPECT_NEAR(batch->usd, row.usd / 2, 1e-9) << row.model;
    EXPECT_EQ(to_json(*batch)["tier"], "batch");
  }
}

// What each usage form counts as, and when there is nothing to price.
TEST(CostEstimate, UsageFormsAreReadByKindAndTheDearerReadingWithoutDetails) {
  struct Row {
    const char* usage;
    std::optional<TokenCounts> counts;
  };
  const Row rows[] = {
      {kGeminiUsage, TokenCounts{1000, 560, 300, 1120}},
      {kImagesUsage, TokenCounts{100, 500, 20, 1056}},
      // No details: input as text, output as image.
      {R"({"promptTokenCount": 7, "candidatesTokenCount": 1290})", TokenCounts{7, 0, 0, 1290}},
      {R"({"input_tokens": 9, "output_tokens": 4160})", TokenCounts{9, 0, 0, 4160}},
      // Counts that are not whole numbers from 0 count nothing.
      {R"({"promptTokenCount": -5, "candidatesTokenCount": "12"})", TokenCounts{0, 0, 0, 0}},
      {R"({"total_tokens": 12})", std::nullopt},
      {R"([1, 2])", std::nullopt},
  };
  for (const Row& row : rows) {
    const auto counts = token_counts(usage_of(row.usage));
    ASSERT_EQ(counts.has_value(), row.counts.has_value()) << row.usage;
    if (!counts) continue;
    EXPECT_EQ(counts->input_text, row.counts->input_text) << row.usage;
    EXPECT_EQ(counts->input_image, row.counts->input_image) << row.usage;
    EXPECT_EQ(counts->output_text, row.counts->output_text) << row.usage;
    EXPECT_EQ(counts->output_image, row.counts->output_image) << row.usage;
  }
  EXPECT_FALSE(estimate_cost(ModelCatalogue::builtin(), "house-model", usage_of(kImagesUsage)));
}

// A host's catalogue brings its own prices; a batch row left out is half the standard one.
TEST(CostEstimate, AHostsPricesDecideAndBadOnesAreNamed) {
  const ModelCatalogue own = ModelCatalogue::from_json(json::parse(R"({"prices_as_of": "contract 7",
      "models": [{"name": "house-image", "service": "images",
                  "prices": {"standard": {"input_text": 1, "output_image": 10}}}]})"));
  const auto cost = estimate_cost(own, "house-image", usage_of(kImagesUsage), PriceTier::kBatch);
  ASSERT_TRUE(cost);
  EXPECT_NEAR(cost->usd, (100 * 0.5 + 1056 * 5) / 1e6, 1e-12);
  EXPECT_EQ(cost->prices_as_of, "contract 7");
  // The JSON form reads back as it was written.
  const ModelCatalogue again = ModelCatalogue::from_json(json::parse(own.to_json().dump()));
  EXPECT_EQ(again.to_json(), own.to_json());

  const char* bad[][2] = {
      {R"({"standard": {"input_text": -1}})",
       "model catalogue entry 0: \"prices.standard.input_text\" must be a number of dollars from "
       "0"},
      {R"({"batch": {}})",
       "model catalogue entry 0: \"prices\" must be an object with a \"standard\" row"},
      {R"({"standard": 3})", "model catalogue entry 0: \"prices.standard\" must be an object"},
  };
  for (const auto& [prices, refusal] : bad) {
    const std::string document =
        std::string(R"({"models": [{"name": "m", "service": "images", "prices": )") + prices +
        "}]}";
    try {
      ModelCatalogue::from_json(json::parse(document));
      ADD_FAILURE() << prices << " was taken";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), refusal);
    }
  }
}

}  // namespace
}  // namespace zantrel::host
