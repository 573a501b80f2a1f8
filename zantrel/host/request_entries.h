#pragma once

#include <future>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/conversation.h"
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

 protected:
  RequestEntries() = default;
};

}  // namespace zantrel::host
