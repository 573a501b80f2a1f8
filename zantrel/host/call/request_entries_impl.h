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
};

template <class Client>
struct ClientSteps;

// A call's steps started on the event engine, entered as `entry` says.
template <class Client, class Request>
void start_detached(const Client& client, Request request, CallOptions options, Entry entry,
                    ResultCallback on_done) {
  using Call = OwnedCall<Client, Request>;
  run_detached_call(
      Call{client, std::move(request), std::move(options)},
      [entry](const Call& call, const Exchange& exchange, ReportBuilder& report) {
        return ClientSteps<Client>::table.start(call.client, call.request, call.options, exchange,
                                                report, entry);
      },
      std::move(on_done));
}

}  // namespace zantrel::host::internal

namespace zantrel::host {

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::start(const Request& request,
                                                     const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  return internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::ClientSteps<Client>::table.start(self, request, options, exchange, report,
                                                          internal::Entry::kByName);
      });
}

template <class Client, class Request>
ServiceResult RequestEntries<Client, Request>::continue_with(Conversation& conversation,
                                                             const Request& request,
                                                             const CallOptions& options) const {
  const Client& self = static_cast<const Client&>(*this);
  return internal::run_blocking(
      self, options, [&](const internal::Exchange& exchange, internal::ReportBuilder& report) {
        return internal::ClientSteps<Client>::table.continue_with(self, conversation, request,
                                                                  options, exchange, report);
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
        return internal::ClientSteps<Client>::table.answered(self, request, response, options,
                                                             exchange, report);
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

}  // namespace zantrel::host
