#pragma once

#include <functional>
#include <future>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/jobs/job.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::host {

// The entries both clients offer for a request by name (`Request`: GenerationRequest,
// ImageRequest), written once over each client's own steps and instantiated in each client's
// library. A request by name has every member
// checked and written, and refuses a reference that does not load.
template <class Client, class Request>
class RequestEntries {
 public:
  // Checks the request, loads its references (links, paths, bytes), generates. Never throws:
  // a failure becomes one debug record and its result.
  ServiceResult start(const Request& request, const CallOptions& options = {}) const;

  // The next turn of a multi-turn edit (each client says what goes out again). When the call
  // ends well, both new turns are added to `conversation`; else it stays as it was. The report's
  // `turn` names the exchange (1 for the first).
  ServiceResult continue_with(Conversation& conversation, const Request& request,
                              const CallOptions& options = {}) const;

  // The result of an answer to the client's prepared request obtained elsewhere (a batch's
  // results, a host's queue): `body` with its HTTP status, read exactly as a call reads its own
  // answer, so the same answer gives the same result, records and report.
  ServiceResult result_of(const Request& request, int status_code, Bytes body,
                          const CallOptions& options = {}) const;

  // `start` without blocking: the call runs on the HTTP client's event thread (for a client
  // without one, on this thread before returning) and its result, records and report are those
  // of `start`. Cancel it through `options.stop`. The client, its logger and HTTP client are
  // kept alive by the call; `options.report` must outlive it.
  std::future<ServiceResult> start_async(Request request, CallOptions options = {}) const;
  // The same, handing the result to `on_done` (see ResultCallback: it must not block).
  void start_async(Request request, CallOptions options, ResultCallback on_done) const;

  // The request as a job the service holds (in the wire form that has jobs, whatever
  // `options.api` says): the same checks, then one short exchange that submits it. Never
  // throws. A submit whose answer was lost may have made the job (its report's delivery
  // says no_answer): look for it before submitting again.
  JobSubmission submit(const Request& request, const CallOptions& options = {}) const;
  std::future<JobSubmission> submit_async(Request request, CallOptions options = {}) const;
  // The same, handing the submission to `on_done` (as a ResultCallback: it must not block).
  void submit_async(Request request, CallOptions options,
                    std::function<void(JobSubmission)> on_done) const;

  // Waits for a job (polling as `options.polling` says, within the call's deadline) and reads
  // its answer into the same result, records and report as the same answer in one exchange
  // would give. The job may come from another process (JobRef::from_text). Never throws.
  ServiceResult collect(const JobRef& job, const CallOptions& options = {}) const;
  std::future<ServiceResult> collect_async(JobRef job, CallOptions options = {}) const;
  void collect_async(JobRef job, CallOptions options, ResultCallback on_done) const;

  // A job's state as the service describes it now, and the cancelling of a job (its state
  // after). Throw ServiceRefused with the service's status and text when it refuses (a job it
  // does not hold: 404), and the HTTP stack's failures.
  JobStatus job_status(const JobRef& job, const CallOptions& options = {}) const;
  JobStatus cancel(const JobRef& job, const CallOptions& options = {}) const;

 protected:
  RequestEntries() = default;
};

}  // namespace zantrel::host
