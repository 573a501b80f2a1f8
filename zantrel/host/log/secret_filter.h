#pragma once

// A client's key kept out of everything a call hands back or logs. A service
// may echo what it was sent (in an error text, a request id, a link); the client knows its key
// and blanks it wherever such text goes.

#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zantrel/host/log/logger.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::host {

// What stands for a key wherever one was echoed.
inline constexpr std::string_view kKeyMark = "[key]";

// Keys shorter than this are not looked for: a test's "k" would blank every letter k, and no
// service issues keys that short.
inline constexpr std::size_t kShortestSecret = 8;

// Blanks every occurrence of `secret` in the text, the JSON's texts (keys included), the
// result's message and link, and the report's texts. True when something was blanked.
bool blank_secret(std::string& text, std::string_view secret);
bool blank_secret(nlohmann::ordered_json& value, std::string_view secret);
ServiceResult without_secret(ServiceResult result, std::string_view secret);
void blank_secret(CallReport& report, std::string_view secret);

// A logger that blanks `secret` in each record before handing it on (records without it pass
// untouched). `inner` itself when the secret is too short to look for.
std::shared_ptr<Logger> secret_blanking_logger(std::shared_ptr<Logger> inner, std::string secret);

}  // namespace zantrel::host
