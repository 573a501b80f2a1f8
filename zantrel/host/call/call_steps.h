#pragma once

// Steps both clients' calls are made of, blocking or not (see Exchange).

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/base/retry_policy.h"
#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/reference_loading.h"
#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/log/secret_filter.h"
#include "zantrel/host/references.h"

namespace zantrel::host::internal {

// Who writes a call's records.
struct RecordContext {
  Logger& logger;
  const std::string& tag;
  const nlohmann::ordered_json& task_id;
  const nlohmann::ordered_json& model_key;
};

// Sends a call's request, again as `policy` allows, each attempt noted in `report` and each
// retry in one debug record. Gives the last answer or throws the last failure.
Task<HttpResponse> send_request(const Exchange& exchange, const std::string& url,
                                PostRequest& request, const RetryPolicy& policy,
                                ReportBuilder& report, RecordContext records);

// The limits a call's options set.
inline CallLimits limits_of(const CallOptions& options) { return {options.stop, options.deadline}; }

// Runs a call's steps (`steps(exchange, report)` gives their task) with an exchange in `mode`
// and the call's report, which is finished before the result is handed over.
template <class Steps>
Task<ServiceResult> run_call(HttpClient& client, Exchange::Mode mode, const CallOptions& options,
                             std::string_view secret, Steps steps) {
  ProgressRelay progress(options.on_progress);
  const Exchange exchange(client, mode, limits_of(options), &progress,
                          options.timeout.value_or(Timeout{}));
  ReportBuilder report(options.report);
  ServiceResult result = co_await steps(exchange, report);
  report.finish();
  // What the service said goes back to the host without the key it may have echoed.
  if (options.report != nullptr) blank_secret(*options.report, secret);
  co_return without_secret(std::move(result), secret);
}

// How `start` ends on a failure outside the generation (loading the references): noted in the
// report; a passed deadline is a time-out with its record, anything else one warning record and
// SERVICE_BUSY.
ServiceResult start_failure(const std::exception_ptr& failure, Logger& logger,
                            const std::string& tag, const CallOptions& options,
                            ReportBuilder& report);

// How a call's request came: by its parameters' places (the contract's entries, which leave out
// a reference that does not load) or by name (a request struct, whose every member is checked
// and written, and which refuses such a reference).
enum class Entry { kPositional, kByName };

// How each service words a failure of the exchange: its record's level (" error", " warning"),
// and whether the result's message names the failure's kind ("ReadTimeout error").
struct FailureWording {
  const char* level;
  bool kind_in_message;
};

// How a call ends on a failure of its exchange or of reading its answer: a read time-out or the
// deadline is SERVICE_TIMEOUT, anything else SERVICE_BUSY, each with its record.
ServiceResult failure_result(const std::exception_ptr& failure, Logger& logger,
                             const std::string& tag, const CallOptions& options,
                             ReportBuilder& report, FailureWording wording);

// Whether a failure ends the call as a time-out of the service: a read time-out, or the call's
// deadline.
bool is_timeout(const std::exception_ptr& failure);
// Whether the call's deadline ended it.
bool is_deadline(const std::exception_ptr& failure);

}  // namespace zantrel::host::internal
