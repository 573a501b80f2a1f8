#include "tools/emulator/dialect_checks.h"

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

Refusal gemini_refusal(int status, const std::string& message, const char* code) {
  return {status, gemini_error_body(status, message, code)};
}

Refusal images_refusal(const std::string& message, const char* param, const char* code,
                       int status = 400) {
  return {status, images_error_body(message, "invalid_request_error",
                                    param != nullptr ? json(param) : json(nullptr), code)};
}

// The values of a member every images model takes; a model with its own list says so.
const std::vector<std::string> kQualities = {"low", "medium", "high", "auto"};
const std::vector<std::string> kFormats = {"png", "jpeg", "webp"};

// 'a', 'b', and 'c', as the images API lists supported values.
std::string supported_list(const std::vector<std::string>& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += values.size() > 2 ? ", " : " ";
    if (i > 0 && i + 1 == values.size()) out += "and ";
    out += "'" + values[i] + "'";
  }
  return out;
}

// Top-level members of a generateContent request that the public endpoint knows.
constexpr std::array<std::string_view, 8> kGeminiMembers = {
    "contents", "generationConfig", "safetySettings", "systemInstruction",
    "tools",    "toolConfig",       "cachedContent",  "labels"};

// 'a', 'b', 'c' as the public endpoint lists allowed values.
std::string quoted_list(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "'" : ", '") + value + "'";
  return out;
}

}  // namespace

std::optional<AcceptedDialect> parse_accepted_dialect(const std::string& text) {
  if (text == "both") return AcceptedDialect::kBoth;
  if (text == "gateway") return AcceptedDialect::kGateway;
  if (text == "direct") return AcceptedDialect::kDirect;
  return std::nullopt;
}

std::optional<Refusal> check_key(const httplib::Request& req, const std::string& api_key,
                                 AcceptedDialect dialect) {
  const std::string bearer = req.get_header_value("Authorization");
  const bool has_bearer = bearer.starts_with("Bearer ");
  const bool has_key_header = req.has_header("x-goog-api-key");
  const bool bearer_ok = has_bearer && (api_key.empty() || bearer == "Bearer " + api_key);
  const bool key_header_ok =
      has_key_header && (api_key.empty() || req.get_header_value("x-goog-api-key") == api_key);

  if (dialect != AcceptedDialect::kDirect) {
    if (bearer_ok || api_key.empty()) return std::nullopt;
    if (dialect == AcceptedDialect::kBoth && key_header_ok) return std::nullopt;
    return gemini_refusal(401, "API key not valid. Please pass a valid API key.",
                          "UNAUTHENTICATED");
  }
  if (has_bearer) {
    return gemini_refusal(401,
                          "Request had invalid authentication credentials. Expected OAuth 2 "
                          "access token, login cookie or other valid authentication credential. "
                          "See https://developers.google.com/identity/sign-in/web/"
                          "devconsole-project.",
                          "UNAUTHENTICATED");
  }
  if (!has_key_header) {
    return gemini_refusal(403,
                          "Method doesn't allow unregistered callers (callers without established "
                          "identity). Please use API Key or other form of API consumer identity "
                          "to call this API.",
                          "PERMISSION_DENIED");
  }
  if (!key_header_ok) {
    return gemini_refusal(400, "API key not valid. Please pass a valid API key.",
                          "INVALID_ARGUMENT");
  }
  return std::nullopt;
}

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

std::optional<Refusal> check_images_fields(const std::map<std::string, std::string>& fields,
                                           const host::ModelInfo* served) {
  const auto model = fields.find("model");
  if (model != fields.end() && model->second.starts_with("gpt-image") &&
      fields.contains("response_format")) {
    return images_refusal("Unknown parameter: 'response_format'.", "response_format",
                          "unknown_parameter");
  }
  if (auto size = fields.find("size"); size != fields.end() && size->second.empty()) {
    return images_refusal("Invalid value: ''. Supported values are: 'auto' and sizes WIDTHxHEIGHT.",
                          "size", "invalid_value");
  }
  // The form's own faults first, then the model: one not served (shut down, or never) is 404.
  if (model != fields.end() && served == nullptr) {
    return images_refusal(
        "The model `" + model->second + "` does not exist or you do not have access to it.",
        nullptr, "model_not_found", 404);
  }
  // A launch the catalogue does not describe is asked only what every model is.
  const host::ModelInfo* info =
      served != nullptr && served->capabilities_known() ? served : nullptr;
  if (auto size = fields.find("size"); size != fields.end()) {
    if (info != nullptr && !info->sizes.empty() &&
        std::find(info->sizes.begin(), info->sizes.end(), size->second) == info->sizes.end()) {
      return images_refusal("Invalid size '" + size->second + "'. Supported sizes are " +
                                quoted_list(info->sizes) + ".",
                            "size", "invalid_value");
    }
  }
  if (auto n = fields.find("n"); n != fields.end()) {
    const long count = std::strtol(n->second.c_str(), nullptr, 10);
    if (count > 10) {
      return images_refusal(
          "Invalid 'n': integer above maximum value. Expected a value <= 10, but "
          "got " +
              n->second + " instead.",
          "n", "integer_above_max_value");
    }
    if (count < 1) {
      return images_refusal(
          "Invalid 'n': integer below minimum value. Expected a value >= 1, but "
          "got " +
              n->second + " instead.",
          "n", "integer_below_min_value");
    }
  }
  if (auto background = fields.find("background");
      background != fields.end() && background->second == "transparent") {
    const auto format = fields.find("output_format");
    if (format != fields.end() && format->second == "jpeg") {
      return images_refusal(
          "Transparent background is not supported for the 'jpeg' output format. Use 'png' or "
          "'webp'.",
          "background", "invalid_value");
    }
    if (info != nullptr && !info->takes_parameter("transparent_background")) {
      return images_refusal("Transparent background is not supported for this model.", "background",
                            "invalid_value");
    }
  }
  if (fields.contains("input_fidelity") && info != nullptr &&
      !info->takes_parameter("input_fidelity")) {
    return images_refusal(
        "The model '" + info->name + "' does not support the 'input_fidelity' parameter.",
        "input_fidelity", "invalid_input_fidelity_model");
  }
  if (info != nullptr) {
    for (const auto& [member, common] :
         {std::pair{"quality", &kQualities}, std::pair{"output_format", &kFormats}}) {
      const auto value = fields.find(member);
      if (value == fields.end() || value->second.empty()) continue;
      const std::vector<std::string>* own = info->values_of(member);
      const std::vector<std::string>& taken = own != nullptr ? *own : *common;
      if (std::find(taken.begin(), taken.end(), value->second) == taken.end()) {
        return images_refusal("Invalid value: '" + value->second +
                                  "'. Supported values are: " + supported_list(taken) + ".",
                              member, "invalid_value");
      }
    }
    if (fields.contains("complexity") && !info->takes_parameter("complexity")) {
      return images_refusal("Unknown parameter: 'complexity'.", "complexity", "unknown_parameter");
    }
  }
  if (auto quality = fields.find("quality"); quality != fields.end() && quality->second.empty()) {
    return images_refusal(
        "Invalid value: ''. Supported values are: 'low', 'medium', 'high', and 'auto'.", "quality",
        "invalid_value");
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
