#include "zantrel/host/call/call_steps.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "zantrel/host/base/timeout.h"
#include "zantrel/host/call/log_record.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Why an attempt's outcome may be sent again, or nothing when it may not.
std::optional<std::string> retry_reason(const std::optional<HttpResponse>& response,
                                        const std::exception_ptr& failure,
                                        const RetryPolicy& policy) {
  if (response) {
    if (response->status_code == 429 || response->status_code == 503) {
      return "HTTP " + std::to_string(response->status_code);
    }
    return std::nullopt;
  }
  const FailureKind kind = failure_kind(failure);
  const bool transient = kind == FailureKind::kConnectionError ||
                         kind == FailureKind::kConnectTimeout ||
                         (kind == FailureKind::kReadTimeout && policy.retry_no_answer);
  if (!transient) return std::nullopt;
  if (failed_delivery(failure) != Delivery::kNotSent && !policy.retry_no_answer) {
    return std::nullopt;
  }
  // The record names the kind as the log does.
  return except_name(failure);
}

// The service's own hint: Retry-After / retry-after-ms, else Gemini's RetryInfo in the body.
std::optional<double> hint_seconds(const std::optional<HttpResponse>& response) {
  if (!response) return std::nullopt;
  if (auto hint = retry_after_seconds(*response, std::chrono::system_clock::now())) return hint;
  try {
    const auto error = read_error_body(response->text(), response->status_code);
    if (error.error_dict) return retry_info_seconds(*error.error_dict);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

milliseconds backoff(const RetryPolicy& policy, int attempt, std::minstd_rand& random) {
  const double exponential =
      static_cast<double>(policy.base_delay.count()) * std::ldexp(1.0, std::min(attempt - 1, 30));
  const double capped = std::min(exponential, static_cast<double>(policy.max_delay.count()));
  // "Equal jitter": half fixed, half random, so that calls that failed together spread out.
  std::uniform_real_distribution<double> spread(0.5, 1.0);
  return milliseconds(std::llround(capped * spread(random)));
}

}  // namespace

Task<HttpResponse> send_request(const Exchange& exchange, const std::string& url,
                                PostRequest& request, const RetryPolicy& policy,
                                ReportBuilder& report, RecordContext records) {
  std::optional<std::minstd_rand> random;
  for (int attempt = 1;; ++attempt) {
    report.sending();
    std::optional<HttpResponse> response;
    std::exception_ptr failure;
    try {
      response.emplace(co_await exchange.post(url, request));
    } catch (...) {
      failure = std::current_exception();
    }
    if (response) report.answered(*response);

    std::optional<std::string> reason;
    if (attempt < policy.max_attempts) reason = retry_reason(response, failure, policy);
    std::optional<milliseconds> delay;
    if (reason) {
      if (!random) random.emplace(std::random_device{}());
      delay = backoff(policy, attempt, *random);
      if (auto hint = hint_seconds(response)) {
        delay = std::max(*delay, host::millis_of_seconds(*hint));
      }
      const auto& deadline = exchange.limits().deadline;
      if (deadline && Clock::now() + *delay >= *deadline) delay.reset();
    }
    if (!delay) {
      if (failure) std::rethrow_exception(failure);
      co_return std::move(*response);
    }
    auto record = log_record(records.tag + " retry", records.task_id, records.model_key);
    record["attempt"] = attempt + 1;
    record["delay"] = round_seconds(static_cast<double>(delay->count()) / 1000.0);
    record["reason"] = *reason;
    records.logger.debug(record);
    co_await exchange.pause(*delay);
  }
}

bool is_timeout(const std::exception_ptr& failure) {
  const FailureKind kind = failure_kind(failure);
  return kind == FailureKind::kReadTimeout || kind == FailureKind::kDeadlineExceeded;
}

bool is_deadline(const std::exception_ptr& failure) {
  return failure_kind(failure) == FailureKind::kDeadlineExceeded;
}

ServiceResult failure_result(const std::exception_ptr& failure, Logger& logger,
                             const std::string& tag, const CallOptions& options,
                             ReportBuilder& report, FailureWording wording) {
  report.failed(failure);
  if (is_timeout(failure)) {
    logger.debug(log_record("任务处理超时", options.task_id, options.model_key));
    return ServiceResult::fail(ErrorCode::SERVICE_TIMEOUT);
  }
  const std::string name =
      log_failure(logger, tag, wording.level, failure, options.task_id, options.model_key);
  if (!wording.kind_in_message) return ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  return ServiceResult::fail(ErrorCode::SERVICE_BUSY, name + " error");
}

ServiceResult start_failure(const std::exception_ptr& failure, Logger& logger,
                            const std::string& tag, const CallOptions& options,
                            ReportBuilder& report) {
  report.failed(failure);
  if (is_deadline(failure)) {
    logger.debug(log_record("任务处理超时", options.task_id, options.model_key));
    return ServiceResult::fail(ErrorCode::SERVICE_TIMEOUT);
  }
  log_failure(logger, tag, " warning", failure, options.task_id, options.model_key);
  return ServiceResult::fail(ErrorCode::SERVICE_BUSY);
}

}  // namespace zantrel::host::internal
