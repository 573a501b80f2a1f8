#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "zantrel/host/call_report.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/timeout.h"

namespace zantrel::host {

// Options every generation call takes besides its parameters.
struct CallOptions {
  // Labels of the host's task, copied into log records and never sent (null when not given).
  nlohmann::ordered_json task_id;
  nlohmann::ordered_json model_key;
  // Absent or zero: the shared HTTP client's base time-out.
  std::optional<Timeout> timeout;
  // Where to write what the call did and cost (nullptr: no report). Must outlive the call.
  CallReport* report = nullptr;
};

inline Timeout effective_timeout(const std::optional<Timeout>& given, const HttpClient& client) {
  return given && !given->empty() ? *given : client.base_timeout();
}

}  // namespace zantrel::host
