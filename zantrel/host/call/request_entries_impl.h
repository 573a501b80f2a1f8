#pragma once

// The definitions of RequestEntries, for the client that instantiates them over its steps: it
// specialises ClientSteps<Client> with `static constexpr StepTable<Client, Request> table`.

#include <utility>

#include "zantrel/host/call/client_entries.h"
#include "zantrel/host/request_entries.h"

namespace zantrel::host::internal {

// A client's own steps, each giving the call's task.
template <class Client, class Request>
struct StepTable {
  Task<ServiceResult> (*start)(const Client&, const Request&, const CallOptions&, const Exchange&,
                               ReportBuilder&, Entry);
  Task<ServiceResult> (*continue_with)(const Client&, Conversation&, const Request&,
                                       const CallOptions&, const Exchange&, ReportBuilder&);
  // An answer obtained elsewhere, read as the exchange's own would be.
  Task<ServiceResult> (*answered)(const Client&, const Request&, HttpResponse&, const CallOptions&,
                                  const Exchange&, ReportBuilder&);
  // How a failure of reading an answer is worded.
  FailureWording wording;
  // The request submitted as a job: the job into `*submitted` when the service took it.
  Task<ServiceResult> (*submit)(const Client&, const Request&, const CallOptions&, const Exchange&,
                                ReportBuilder&, JobRef* submitted);
  // A job waited for and its answer read.
  Task<ServiceResult> (*collect)(const Client&, const JobRef&, const CallOptions&, const Exchange&,
                                 ReportBuilder&);
  // A job's state; with `cancel`, once cancelled. Throws ServiceRefused.
  Task<JobStatus> (*job_state)(const Client&, const JobRef&, bool cancel, const CallOptions&,
                               const Exchange&);
};

template <class Client>
struct ClientSteps;

// A call's steps with any failure they throw (loading a reference, say) ended as start_failure
// says, or, for the reading of an answer, as failure_result says in `wording`. A handler can't
// co_await, so the failure is taken out of it first.
template <class Client>
Task<ServiceResult> contained(const Client& client, const CallOptions& options,
                              ReportBuilder& report, Task<ServiceResult> steps,
                              const FailureWording* wording = nullptr) {
  std::exception_ptr failure;
  try {
    co_return co_await steps;
  } catch (...) {
    failure = std::current_exception();
  }
  if (wording != nullptr) {
    co_return failure_result(failure, *client.logger(), client.model_tag(), options, report,
                             *wording);
  }
  co_return start_failure(failure, *client.logger(), client.model_tag(), options, report);
}

// A call's steps run on this thread, entered as `entry` says.
template <class Client, class Request>
ServiceResult start_here(const Client& client, const Request& request, const CallOptions& options,
                         Entry entry) {
  return run_blocking(client, options, [&](const Exchange& exchange, ReportBuilder& report) {
    return contained(
        client, options, report,
        ClientSteps<Client>::table.start(client, request, options, exchange, report, entry));
  });
}

// A call's steps started on the event engine, entered as `entry` says.
template <class Client, class Request>
void start_detached(const Client& client, Request request, CallOptions options, Entry entry,
                    ResultCallback on_done) {
  using Call = OwnedCall<Client, Request>;
  run_detached_call(
      Call{client, std::move(request), std::move(options)},
      [entry](const Call& call, const Exchange& exchange, ReportBuilder& report) {
        return contained(call.client, call.options, report,
                         ClientSteps<Client>::table.start(call.client, call.request, call.options,
                                                          exchange, report, entry));
      },
      std::move(on_done));
}

// What a submit's steps gave: the job they noted when the call went well.
inline JobSubmission submission_of(ServiceResult result, JobRef job) {
  JobSubmission submission;
  if (result.ok() && !job.id.empty()) submission.job = std::move(job);
  submission.result = std::move(result);
  return submission;
}

// A job's state asked (or its cancelling) on the calling thread, outside any call's report.
template <class Client>
JobStatus job_state_here(const Client& client, const JobRef& job, bool cancel,
                         const CallOptions& options) {
  const auto http = client.http_client();
  const Exchange exchange(*http, Exchange::Mode::kBlocking, limits_of(options));
  return ClientSteps<Client>::table.job_state(client, job, cancel, options, exchange)
      .run_blocking();
}

}  // namespace zantrel::host::internal

namespace zantrel::host {

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::start(const Request& request,
                                                     const CallOptions& options) const {
  return internal::start_here(static_cast<const Client&>(*this), request, options,
                              internal::Entry::kByName);
}

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::continue_with(Conversation& conversation,
                                                             const Request& request,
                                                             const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  return internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(self, options, report,
                                   internal::ClientSteps<Client>::table.continue_with(
                                       self, conversation, request, options, exchange, report));
      });
}

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::result_of(const Request& request, int status_code,
                                                         Bytes body,
                                                         const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  HttpResponse response;
  response.status_code = status_code;
  response.body = std::move(body);
  return internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(self, options, report,
                                   internal::ClientSteps<Client>::table.answered(
                                       self, request, response, options, exchange, report),
                                   &internal::ClientSteps<Client>::table.wording);
      });
}

template <class Client, class Request>
void RequestEntries<Client, Request>::start_async(Request request, CallOptions options,
                                                  ResultCallback on_done) const {
  internal::start_detached(static_cast<const Client&>(*this), std::move(request),
                           std::move(options), internal::Entry::kByName, std::move(on_done));
}

template <class Client, class Request>
std::future<ServiceResult> RequestEntries<Client, Request>::start_async(Request request,
                                                                        CallOptions options) const {
  return internal::future_of([&](ResultCallback done) {
    start_async(std::move(request), std::move(options), std::move(done));
  });
}

template <class Client, class Request>
JobSubmission RequestEntries<Client, Request>::submit(const Request& request,
                                                      const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  JobRef job;
  ServiceResult result = internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(self, options, report,
                                   internal::ClientSteps<Client>::table.submit(
                                       self, request, options, exchange, report, &job));
      });
  return internal::submission_of(std::move(result), std::move(job));
}

template <class Client, class Request>
void RequestEntries<Client, Request>::submit_async(
    Request request, CallOptions options, std::function<void(JobSubmission)> on_done) const {
  using Call = internal::OwnedCall<Client, Request>;
  auto job = std::make_shared<JobRef>();
  internal::run_detached_call(
      Call{static_cast<const Client&>(*this), std::move(request), std::move(options)},
      [job](const Call& call, const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(
            call.client, call.options, report,
            internal::ClientSteps<Client>::table.submit(call.client, call.request, call.options,
                                                        exchange, report, job.get()));
      },
      [job, done = std::move(on_done)](ServiceResult result) {
        done(internal::submission_of(std::move(result), std::move(*job)));
      });
}

template <class Client, class Request>
std::future<JobSubmission> RequestEntries<Client, Request>::submit_async(
    Request request, CallOptions options) const {
  auto promise = std::make_shared<std::promise<JobSubmission>>();
  auto future = promise->get_future();
  submit_async(std::move(request), std::move(options),
               [promise](JobSubmission submitted) { promise->set_value(std::move(submitted)); });
  return future;
}

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::collect(const JobRef& job,
                                                       const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  return internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(
            self, options, report,
            internal::ClientSteps<Client>::table.collect(self, job, options, exchange, report),
            &internal::ClientSteps<Client>::table.wording);
      });
}

template <class Client, class Request>
void RequestEntries<Client, Request>::collect_async(JobRef job, CallOptions options,
                                                    ResultCallback on_done) const {
  using Call = internal::OwnedCall<Client, JobRef>;
  internal::run_detached_call(
      Call{static_cast<const Client&>(*this), std::move(job), std::move(options)},
      [](const Call& call, const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::contained(call.client, call.options, report,
                                   internal::ClientSteps<Client>::table.collect(
                                       call.client, call.request, call.options, exchange, report),
                                   &internal::ClientSteps<Client>::table.wording);
      },
      std::move(on_done));
}

template <class Client, class Request>
std::future<ServiceResult> RequestEntries<Client, Request>::collect_async(
    JobRef job, CallOptions options) const {
  return internal::future_of([&](ResultCallback done) {
    collect_async(std::move(job), std::move(options), std::move(done));
  });
}

template <class Client, class Request>
JobStatus RequestEntries<Client, Request>::job_status(const JobRef& job,
                                                      const CallOptions& options) const {
  return internal::job_state_here(static_cast<const Client&>(*this), job, false, options);
}

template <class Client, class Request>
JobStatus RequestEntries<Client, Request>::cancel(const JobRef& job,
                                                  const CallOptions& options) const {
  return internal::job_state_here(static_cast<const Client&>(*this), job, true, options);
}

}  // namespace zantrel::host
