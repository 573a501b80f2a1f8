#pragma once

// The waiting for a job the service holds, the same for both services' job APIs.

#include <string>
#include <string_view>

#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/jobs/job.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::host::internal {

// How a service's job resource reads (its status member into a phase).
using JobStatusReader = JobStatus (*)(std::string_view body);

// Asks `url` for the job until it ends, pausing between asks as `polling` says (never past the
// call's deadline; a pause holds no thread on the event engine). An ask that is cut, times out
// or is answered 429 or 5xx costs nothing and is made again after the next pause, up to six in
// a row (then the last failure is thrown, or the last such answer given). Gives the
// answer that ended the waiting: a 200 whose job has ended, or an error answer the job will not
// outlive (a 404: the service no longer holds it). Each ask is counted in `job`, with the last
// state read. Throws the call's stop or deadline.
Task<HttpResponse> poll_job(const Exchange& exchange, const std::string& url, Headers headers,
                            Timeout timeout, JobPolling polling, JobStatusReader status_of,
                            JobReport& job);

// Whether an answer to a poll says nothing of the job (busy, failing): ask again.
bool poll_again(int status_code) noexcept;

}  // namespace zantrel::host::internal
