#include "tools/emulator/gemini/dialect_checks.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;

// Top-level members of a generateContent request that the public endpoint knows.
constexpr std::array<std::string_view, 8> kGeminiMembers = {
    "contents", "generationConfig", "safetySettings", "systemInstruction",
    "tools",    "toolConfig",       "cachedContent",  "labels"};

}  // namespace

std::optional<Refusal> check_gemini_members(const std::string& body) {
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (parser.parse(body).get(root)) return std::nullopt;  // the body check names that fault
  for (auto [key, value] : root) {
    if (std::find(kGeminiMembers.begin(), kGeminiMembers.end(), key) == kGeminiMembers.end()) {
      return gemini_refusal(400,
                            "Invalid JSON payload received. Unknown name \"" + std::string(key) +
                                "\": Cannot find field.",
                            "INVALID_ARGUMENT");
    }
  }
  return std::nullopt;
}

std::optional<Refusal> check_gemini_model(const std::string& model, const host::ModelInfo* served) {
  if (served == nullptr) {
    return gemini_refusal(404,
                          "models/" + model +
                              " is not found for API version v1beta, or is not supported for "
                              "generateContent. Call ListModels to see the list of available "
                              "models and their supported methods.",
                          "NOT_FOUND");
  }
  return std::nullopt;
}

std::optional<Refusal> check_gemini_model_request(const host::ModelInfo& model,
                                                  const CheckedRequest& request) {
  if (!model.capabilities_known()) return std::nullopt;
  const host::ModelInfo* info = &model;
  if (request.candidate_count > 1) {
    return gemini_refusal(400, "Multiple candidates is not enabled for this model",
                          "INVALID_ARGUMENT");
  }
  if (!info->takes_ratio(request.aspect_ratio)) {
    return gemini_refusal(400,
                          "* GenerateContentRequest.generation_config.image_config.aspect_ratio: "
                          "aspect_ratio must be one of " +
                              quoted_list(info->aspect_ratios) + "\n",
                          "INVALID_ARGUMENT");
  }
  if (!request.image_size.empty() && !info->takes_image_size(request.image_size)) {
    const std::string allowed = info->image_sizes.empty()
                                    ? "image_size is not supported for this model"
                                    : "image_size must be one of " + quoted_list(info->image_sizes);
    return gemini_refusal(
        400,
        "* GenerateContentRequest.generation_config.image_config.image_size: " + allowed + "\n",
        "INVALID_ARGUMENT");
  }
  return std::nullopt;
}

std::string thought_signature_of(std::string_view content) {
  // FNV-1a: stable, and any change to the content changes it.
  std::uint64_t hash = 1469598103934665603ULL;
  for (const char c : content) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  }
  char text[40];
  std::snprintf(text, sizeof text, "emulator-signature-%016llx",
                static_cast<unsigned long long>(hash));
  return host::base64_encode(host::as_bytes(text));
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the model from the URL, then the body
std::optional<Refusal> check_gemini_signatures(const std::string& model, const std::string& body) {
  if (!model.starts_with("gemini-3") && !model.starts_with("gemini-nano-banana")) {
    return std::nullopt;
  }
  const auto document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_object() || !document.contains("contents") || !document["contents"].is_array()) {
    return std::nullopt;  // the body's own checks answer
  }
  const auto& contents = document["contents"];
  for (std::size_t c = 0; c + 1 < contents.size(); ++c) {
    const auto& content = contents[c];
    if (!content.is_object() || content.value("role", "") != "model" ||
        !content.contains("parts") || !content["parts"].is_array()) {
      continue;
    }
    const auto& parts = content["parts"];
    for (std::size_t p = 0; p < parts.size(); ++p) {
      const auto& part = parts[p];
      if (!part.is_object()) continue;
      const bool image = part.contains("inlineData");
      const auto signature = part.find("thoughtSignature");
      if (signature == part.end() || !signature->is_string()) {
        if (!image) continue;
        return gemini_refusal(400,
                              "Image part is missing a thought_signature in content position " +
                                  std::to_string(c + 1) + ", part position " +
                                  std::to_string(p + 1) + ".",
                              "INVALID_ARGUMENT");
      }
      const std::string content_text =
          image ? part["inlineData"].value("data", "") : part.value("text", "");
      if (signature->get<std::string>() != thought_signature_of(content_text)) {
        return gemini_refusal(400,
                              "Thought signature is not valid in content position " +
                                  std::to_string(c + 1) + ", part position " +
                                  std::to_string(p + 1) + ".",
                              "INVALID_ARGUMENT");
      }
    }
  }
  return std::nullopt;
}

}  // namespace zantrel::emulator
