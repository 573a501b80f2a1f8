#include "zantrel/host/call/log_record.h"

#include <cmath>

#include "zantrel/host/result/errors.h"

namespace zantrel::host {

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): public signature
nlohmann::ordered_json log_record(std::string msg, const nlohmann::ordered_json& task_id,
                                  const nlohmann::ordered_json& model_key) {
  nlohmann::ordered_json record = nlohmann::ordered_json::object();
  record["msg"] = std::move(msg);
  record["task_id"] = task_id;
  record["model_key"] = model_key;
  return record;
}

void add_failure(nlohmann::ordered_json& record, const std::exception_ptr& failure) {
  record["error"] = describe_error(failure);
  record["traceback"] = traceback_text(failure);
}

std::string log_failure(Logger& logger, const std::string& tag, std::string_view suffix,
                        const std::exception_ptr& failure, const nlohmann::ordered_json& task_id,
                        const nlohmann::ordered_json& model_key) {
  std::string name = except_name(failure);
  auto record = log_record(tag + " " + name + std::string(suffix), task_id, model_key);
  add_failure(record, failure);
  logger.debug(record);
  return name;
}

double round_seconds(double seconds) noexcept { return std::round(seconds * 1000.0) / 1000.0; }

bool is_empty_json(const nlohmann::ordered_json& value) noexcept {
  switch (value.type()) {
    case nlohmann::ordered_json::value_t::null:
    case nlohmann::ordered_json::value_t::discarded:
      return true;
    case nlohmann::ordered_json::value_t::boolean:
      return !value.get<bool>();
    case nlohmann::ordered_json::value_t::number_integer:
    case nlohmann::ordered_json::value_t::number_unsigned:
    case nlohmann::ordered_json::value_t::number_float:
      return value.get<double>() == 0.0;
    case nlohmann::ordered_json::value_t::string:
    case nlohmann::ordered_json::value_t::array:
    case nlohmann::ordered_json::value_t::object:
    case nlohmann::ordered_json::value_t::binary:
      return value.empty() || (value.is_string() && value.get_ref<const std::string&>().empty());
  }
  return true;
}

}  // namespace zantrel::host
