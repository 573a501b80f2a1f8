#pragma once

#include <functional>
#include <optional>
#include <stop_token>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/call_limits.h"
#include "zantrel/host/base/retry_policy.h"
#include "zantrel/host/base/timeout.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/jobs/job.h"
#include "zantrel/host/progress.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/service_result.h"

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
  // A stop request ends the call within milliseconds, whatever it is doing: SERVICE_BUSY,
  // failure kind "Cancelled".
  std::stop_token stop{};
  // When the whole call (reference and link fetches included) must be over: SERVICE_TIMEOUT,
  // failure kind "DeadlineExceeded".
  std::optional<Deadline> deadline{};
  // Overrides the client's retry policy for this call.
  std::optional<RetryPolicy> retry{};
  // Asks for the answer as a stream of events: the service's previews (partial images, thought
  // images) reach `on_progress` as they arrive, and bytes keep flowing while the image is made.
  // The call still ends in one result, the final image, the same as the same answer unstreamed.
  bool stream = false;
  // Told of the request's phase, its bytes, and each preview (see ProgressObserver).
  ProgressObserver on_progress{};
  // The wire form, when not the client's default: GeminiApi::interactions on the Gemini
  // client, ImagesApi::responses on the images client (the other service's is refused).
  ServiceApi api{};
  // Runs the call as a job the service holds (those wire forms only): one short exchange
  // submits it, then it is polled, as `polling` says, until it ends, and its answer read as the
  // same answer in one exchange would be. No exchange stays open while the image is made.
  bool background = false;
  JobPolling polling{};
};

// Receives the result of a non-blocking call, on the HTTP client's event thread (or on the
// calling thread when the call ends before any exchange, a refused parameter say). It must not
// block: every call in flight waits while it runs. What it throws is dropped.
using ResultCallback = std::function<void(ServiceResult)>;

inline Timeout effective_timeout(const std::optional<Timeout>& given, const HttpClient& client) {
  return given && !given->empty() ? *given : client.base_timeout();
}

}  // namespace zantrel::host
