#pragma once

// The entries every client offers over its own steps: blocking, non-blocking with a callback,
// and non-blocking with a future. `steps(exchange, report)` gives a call's task.

#include <future>
#include <memory>
#include <utility>

#include "zantrel/host/call/call_steps.h"
#include "zantrel/host/service_client.h"

namespace zantrel::host::internal {

// Runs the steps on the calling thread, on the client's HTTP stack.
template <class Steps>
ServiceResult run_blocking(const ServiceClient& client, const CallOptions& options, Steps steps) {
  const auto http = client.http_client();
  return run_call(*http, Exchange::Mode::kBlocking, options, client.secret(), std::move(steps))
      .run_blocking();
}

// A non-blocking call's own copies of everything its steps read: the client (which keeps its
// logger and HTTP stack alive), the request and the options.
template <class Client, class Request>
struct OwnedCall {
  Client client;
  Request request;
  CallOptions options;
};

template <class Call, class Steps>
Task<ServiceResult> run_owned(Call call, Steps steps) {
  const auto http = call.client.http_client();
  co_return co_await run_call(*http, Exchange::Mode::kNonBlocking, call.options,
                              call.client.secret(),
                              [&](const Exchange& exchange, ReportBuilder& report) {
                                return steps(call, exchange, report);
                              });
}

// Starts the call on the HTTP client's event thread (for a client without one, on this thread
// before returning); `on_done` gets its result there. `steps(call, exchange, report)`.
template <class Client, class Request, class Steps>
void run_detached_call(OwnedCall<Client, Request> call, Steps steps, ResultCallback on_done) {
  run_detached(run_owned(std::move(call), std::move(steps)), std::move(on_done));
}

// The future of a call that `start(callback)` starts.
template <class Start>
std::future<ServiceResult> future_of(Start start) {
  auto promise = std::make_shared<std::promise<ServiceResult>>();
  auto future = promise->get_future();
  start([promise](ServiceResult result) { promise->set_value(std::move(result)); });
  return future;
}

}  // namespace zantrel::host::internal
