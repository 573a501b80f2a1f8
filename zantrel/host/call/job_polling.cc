#include "zantrel/host/call/job_polling.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

#include "zantrel/host/call/batch_transfer.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

using Milliseconds = std::chrono::milliseconds;

// Asks in a row that learn nothing of the job before the waiting gives up.
constexpr int kUnansweredInARow = 6;

// The pause, cut short at the call's deadline (the stop cuts it on its own).
Milliseconds bounded(Milliseconds pause, const CallLimits& limits) {
  if (!limits.deadline) return pause;
  const auto left =
      std::chrono::duration_cast<Milliseconds>(*limits.deadline - std::chrono::steady_clock::now());
  return std::clamp(left, Milliseconds{0}, pause);
}

Milliseconds grown(Milliseconds pause, const JobPolling& polling) {
  const auto next = Milliseconds(
      static_cast<Milliseconds::rep>(static_cast<double>(pause.count()) * polling.growth));
  return std::clamp(next, pause, std::max(polling.longest, pause));
}

}  // namespace

bool poll_again(int status_code) noexcept { return status_code == 429 || status_code >= 500; }

Task<HttpResponse> poll_job(const Exchange& exchange, JobWire wire, Timeout timeout,
                            JobPolling polling, JobReport& job) {
  Milliseconds pause = std::max(polling.first, Milliseconds{1});
  int unanswered = 0;
  for (;;) {
    co_await exchange.pause(bounded(pause, exchange.limits()));
    pause = grown(pause, polling);
    exchange.limits().check();
    GetRequest request;
    request.headers = {wire.auth};
    request.timeout = timeout;
    request.max_redirects = 0;  // the key goes nowhere else
    std::optional<HttpResponse> answer;
    std::exception_ptr lost;
    try {
      answer = co_await exchange.get(wire.url, request);
    } catch (const Cancelled&) {
      throw;
    } catch (const DeadlineExceeded&) {
      throw;
    } catch (const Error&) {
      // A lost ask: the job goes on regardless.
      lost = std::current_exception();
    }
    ++job.polls;
    const bool said_nothing = !answer || poll_again(answer->status_code);
    unanswered = said_nothing ? unanswered + 1 : 0;
    // A service that keeps saying nothing (or an address that can't be reached) ends the
    // waiting, whatever deadline the call has or lacks.
    if (said_nothing && unanswered >= kUnansweredInARow) {
      if (lost) std::rethrow_exception(lost);
      co_return std::move(*answer);
    }
    if (said_nothing) continue;
    if (answer->status_code != 200) co_return std::move(*answer);
    const JobStatus status = wire.status_of(answer->text());
    job.state = status.state;
    if (status.ended()) co_return std::move(*answer);
  }
}

std::optional<std::string> job_refusal(const JobRef& job, Service service) {
  if (job.service != service) {
    return "job " + job.id + " is the " + std::string(to_string(job.service)) +
           " service's, not this client's";
  }
  if (job.id.empty() || job.id.find_first_of("/?#") != std::string::npos) {
    return "not a job id: \"" + job.id + "\"";
  }
  return std::nullopt;
}

Task<JobStatus> job_state(const Exchange& exchange, JobWire wire, Timeout timeout, bool cancel) {
  HttpResponse response;
  if (cancel) {
    PostRequest request;
    request.headers = {wire.auth, {"Content-Type", "application/json"}};
    request.body = JsonBody::of("{}");
    request.timeout = timeout;
    const std::string url = wire.url + "/cancel";
    response = co_await exchange.post(url, request);
  } else {
    GetRequest request;
    request.headers = {wire.auth};
    request.timeout = timeout;
    request.max_redirects = 0;
    response = co_await exchange.get(wire.url, request);
  }
  if (response.status_code != 200) {
    throw ServiceRefused(response.status_code, refusal_text(response));
  }
  co_return wire.status_of(response.text());
}

JobRef job_named(Service service, std::string id, std::string model, std::string digest) {
  return {service, std::move(id), std::move(model),
          format_rfc3339(std::chrono::system_clock::now()), std::move(digest)};
}

}  // namespace zantrel::host::internal
