#include "tools/emulator/batch_plan.h"

#include <charconv>
#include <string>

namespace zantrel::emulator {

std::optional<BatchPlan> BatchPlan::parse(std::string_view options) {
  BatchPlan plan;
  while (!options.empty()) {
    const auto plus = options.find('+');
    const std::string_view option = options.substr(0, plus);
    options = plus == std::string_view::npos ? std::string_view() : options.substr(plus + 1);
    if (option == "cut-results" || option == "small") {
      (option == "small" ? plan.small_pictures : plan.cut_results) = true;
      continue;
    }
    const auto equals = option.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view name = option.substr(0, equals);
    const std::string_view digits = option.substr(equals + 1);
    int value = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value < 0) {
      return std::nullopt;
    }
    if (name == "delay") {
      plan.delay = std::chrono::milliseconds(value);
    } else if (name == "fail-every") {
      plan.fail_every = value;
    } else if (name == "expire") {
      plan.expire_nth = value;
    } else if (name == "fail") {
      plan.fail_nth = value;
    } else if (name == "lost-create") {
      plan.lost_create_nth = value;
    } else if (name == "create-wait") {
      plan.create_wait = std::chrono::milliseconds(value);
    } else {
      return std::nullopt;
    }
  }
  return plan;
}

}  // namespace zantrel::emulator
