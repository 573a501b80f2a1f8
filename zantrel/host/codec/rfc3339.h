#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zantrel::host {

// A UTC time as the services write it: "2026-12-11T15:30:00.123456Z" (fraction optional, a zone
// offset "+01:00" accepted on reading). Nothing when the text is not such a time.
std::optional<std::chrono::system_clock::time_point> parse_rfc3339(std::string_view text);
// "YYYY-MM-DDTHH:MM:SSZ" (whole seconds: what a saved document needs).
std::string format_rfc3339(std::chrono::system_clock::time_point time);

}  // namespace zantrel::host
