#include "tools/emulator/request_checks.h"

#include <charconv>

namespace zantrel::emulator {

CheckedRequest refused_request(std::string error) {
  CheckedRequest out;
  out.error = std::move(error);
  return out;
}

std::optional<int> parse_int(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace zantrel::emulator
