#include "zantrel/host/http/http_client.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <nlohmann/json.hpp>

#include "zantrel/host/errors.h"

namespace zantrel::host {

void check_headers(const Headers& headers) {
  for (const auto& [name, value] : headers) {
    const bool name_ok = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) ||
             (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
    });
    if (!name_ok) throw InvalidHeader("refused header name with characters outside a token");
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      throw InvalidHeader("refused header " + name + ": its value holds CR, LF or NUL");
    }
  }
}

std::optional<std::string_view> HttpResponse::header(std::string_view name) const noexcept {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return std::string_view(value);
    }
  }
  return std::nullopt;
}

nlohmann::ordered_json HttpResponse::json() const {
  try {
    return nlohmann::ordered_json::parse(text());
  } catch (const nlohmann::json::exception& e) {
    throw JSONDecodeError(std::string("response body is not JSON: ") + e.what());
  }
}

}  // namespace zantrel::host
