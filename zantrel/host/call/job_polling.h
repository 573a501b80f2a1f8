#pragma once

// The waiting for a job the service holds, the same for both services' job APIs.

#include <optional>
#include <string>
#include <string_view>

#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/jobs/job.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::host::internal {

// How a service's job resource reads (its status member into a phase).
using JobStatusReader = JobStatus (*)(std::string_view body);

// Where a service keeps a job and how it reads: the job's own address, the key's header, and
// the reading of its body.
struct JobWire {
  std::string url;
  Headers::value_type auth;
  JobStatusReader status_of;
};

// Why `job` can't be asked of the client of `service`: another service's, or an id that is no
// single path segment.
std::optional<std::string> job_refusal(const JobRef& job, Service service);

// A job's state, or with `cancel` its state once cancelled (POST url/cancel). Throws
// ServiceRefused for an error answer, and the HTTP stack's failures.
Task<JobStatus> job_state(const Exchange& exchange, JobWire wire, Timeout timeout, bool cancel);

// The job a background create's answer names (empty id: none), made now from the request body
// whose digest is `digest`.
JobRef job_named(Service service, std::string id, std::string model, std::string digest);

// Asks `url` for the job until it ends, pausing between asks as `polling` says (never past the
// call's deadline; a pause holds no thread on the event engine). An ask that is cut, times out
// or is answered 429 or 5xx costs nothing and is made again after the next pause, up to six in
// a row (then the last failure is thrown, or the last such answer given). Gives the
// answer that ended the waiting: a 200 whose job has ended, or an error answer the job will not
// outlive (a 404: the service no longer holds it). Each ask is counted in `job`, with the last
// state read. Throws the call's stop or deadline.
Task<HttpResponse> poll_job(const Exchange& exchange, JobWire wire, Timeout timeout,
                            JobPolling polling, JobReport& job);

// Whether an answer to a poll says nothing of the job (busy, failing): ask again.
bool poll_again(int status_code) noexcept;

}  // namespace zantrel::host::internal
