#include "zantrel/host/log/secret_filter.h"

#include <utility>

namespace zantrel::host {
namespace {

bool findable(std::string_view secret) { return secret.size() >= kShortestSecret; }

bool blank_optional(std::optional<std::string>& text, std::string_view secret) {
  return text && blank_secret(*text, secret);
}

bool holds_secret(const nlohmann::ordered_json& value, std::string_view secret) {
  if (value.is_string())
    return value.get_ref<const std::string&>().find(secret) != std::string::npos;
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (key.find(secret) != std::string::npos || holds_secret(member, secret)) return true;
    }
  } else if (value.is_array()) {
    for (const auto& element : value) {
      if (holds_secret(element, secret)) return true;
    }
  }
  return false;
}

class SecretBlankingLogger final : public Logger {
 public:
  SecretBlankingLogger(std::shared_ptr<Logger> inner, std::string secret)
      : inner_(std::move(inner)), secret_(std::move(secret)) {}

  void debug(const nlohmann::ordered_json& record) override {
    if (!holds_secret(record, secret_)) {
      inner_->debug(record);
      return;
    }
    nlohmann::ordered_json blanked = record;
    blank_secret(blanked, secret_);
    inner_->debug(blanked);
  }

 private:
  std::shared_ptr<Logger> inner_;
  std::string secret_;
};

}  // namespace

bool blank_secret(std::string& text, std::string_view secret) {
  if (!findable(secret)) return false;
  bool blanked = false;
  for (auto at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
    text.replace(at, secret.size(), kKeyMark);
    at += kKeyMark.size();
    blanked = true;
  }
  return blanked;
}

bool blank_secret(nlohmann::ordered_json& value, std::string_view secret) {
  if (!findable(secret) || !holds_secret(value, secret)) return false;
  if (value.is_string()) return blank_secret(value.get_ref<std::string&>(), secret);
  if (value.is_object()) {
    // Rebuilt in order, as a member's name may hold the secret too.
    nlohmann::ordered_json rebuilt = nlohmann::ordered_json::object();
    for (auto& [key, member] : value.items()) {
      std::string name = key;
      blank_secret(name, secret);
      blank_secret(member, secret);
      rebuilt[name] = std::move(member);
    }
    value = std::move(rebuilt);
  } else if (value.is_array()) {
    for (auto& element : value) blank_secret(element, secret);
  }
  return true;
}

ServiceResult without_secret(ServiceResult result, std::string_view secret) {
  if (!findable(secret)) return result;
  if (result.code()) {
    std::optional<std::string> message = result.msg();
    if (!blank_optional(message, secret)) return result;
    return ServiceResult::fail(*result.code(), std::move(message));
  }
  if (const std::string* link = result.link()) {
    std::string blanked = *link;
    if (blank_secret(blanked, secret)) return ServiceResult::success(std::move(blanked));
  }
  return result;
}

void blank_secret(CallReport& report, std::string_view secret) {
  if (!findable(secret)) return;
  blank_secret(report.service_error, secret);
  blank_secret(report.usage.raw, secret);
  for (std::optional<std::string>* text :
       {&report.failure_kind, &report.request_id, &report.model_sent, &report.model_note,
        &report.model_warning, &report.model_version, &report.text, &report.finish_reason,
        &report.block_reason, &report.answer.revised_prompt, &report.answer.output_format,
        &report.answer.size, &report.answer.quality, &report.answer.background,
        &report.answer.generation_id}) {
    blank_optional(*text, secret);
  }
  blank_secret(report.answer.svg_usage, secret);
}

std::shared_ptr<Logger> secret_blanking_logger(std::shared_ptr<Logger> inner, std::string secret) {
  if (!findable(secret)) return inner;
  return std::make_shared<SecretBlankingLogger>(std::move(inner), std::move(secret));
}

}  // namespace zantrel::host
