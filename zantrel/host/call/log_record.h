#pragma once

#include <exception>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zantrel/host/log/logger.h"

namespace zantrel::host {

// The common head of every log record: "msg", then the call's "task_id" and "model_key"
// (null when not given).
nlohmann::ordered_json log_record(std::string msg, const nlohmann::ordered_json& task_id,
                                  const nlohmann::ordered_json& model_key);

// Adds "error" ("Kind: message") and "traceback" for a caught failure.
void add_failure(nlohmann::ordered_json& record, const std::exception_ptr& failure);

// Writes the one record of a caught failure, "msg" = tag + " " + its short name + suffix (" error"
// or " warning"), then "task_id", "model_key", "error" and "traceback". Returns the short name.
std::string log_failure(Logger& logger, const std::string& tag, std::string_view suffix,
                        const std::exception_ptr& failure, const nlohmann::ordered_json& task_id,
                        const nlohmann::ordered_json& model_key);

// Seconds rounded to 3 decimal places, as logged under "second" and "total_second".
double round_seconds(double seconds) noexcept;

// The emptiness rule for JSON values: null, false, 0, and "", [] or {} are empty.
bool is_empty_json(const nlohmann::ordered_json& value) noexcept;

}  // namespace zantrel::host
