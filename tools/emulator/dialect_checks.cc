#include "tools/emulator/dialect_checks.h"

#include "tools/emulator/wire_errors.h"

namespace zantrel::emulator {

using json = nlohmann::ordered_json;

std::string quoted_list(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "'" : ", '") + value + "'";
  return out;
}

Refusal gemini_refusal(int status, const std::string& message, const char* code) {
  return {status, gemini_error_body(status, message, code)};
}

Refusal images_refusal(const std::string& message, const char* param, const char* code,
                       int status) {
  return {status, images_error_body(message, "invalid_request_error",
                                    param != nullptr ? json(param) : json(nullptr), code)};
}

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

}  // namespace zantrel::emulator
