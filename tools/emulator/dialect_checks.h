#pragma once

#include <httplib.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/emulator/request_checks.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::emulator {

// Which wire forms the emulator takes: the gateway's (bearer keys, every member), the public
// endpoints' (answering as they do to anything else), or either.
enum class AcceptedDialect { kBoth, kGateway, kDirect };

// "both", "gateway" or "direct"; nothing for any other text.
std::optional<AcceptedDialect> parse_accepted_dialect(const std::string& text);

// A refusal as the service would send it.
struct Refusal {
  int status = 400;
  nlohmann::ordered_json body;
};

// The key check of a request. The public Gemini endpoint takes an API key only in
// "x-goog-api-key" and reads a bearer token as an OAuth access token (401); the gateway (and the
// images API, always) takes the key as a bearer token. An empty `api_key` accepts any key in the
// accepted header.
std::optional<Refusal> check_key(const httplib::Request& req, const std::string& api_key,
                                 AcceptedDialect dialect);

// 'a', 'b', 'c', as the services list the values they allow.
std::string quoted_list(const std::vector<std::string>& values);

// A refusal in each service's words.
Refusal gemini_refusal(int status, const std::string& message, const char* code);
Refusal images_refusal(const std::string& message, const char* param, const char* code,
                       int status = 400);

}  // namespace zantrel::emulator
