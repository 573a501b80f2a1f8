#pragma once

// Not installed: the libcurl side of one transfer, shared by every path that runs one.

#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/http/curl_options.h"
#include "zantrel/host/http/http_client.h"

#include "zantrel/host/http/internal/closed_sockets.h"
#include "zantrel/host/http/internal/connect_gate.h"

namespace zantrel::host::internal {

// What all transfers of one client share about their connections: the bound on opening them
// and what the kernel said of each as it closed. Outlives every handle of the client.
struct SharedConnections {
  explicit SharedConnections(std::size_t max_connecting_per_host) : gate(max_connecting_per_host) {}
  ConnectGate gate;
  ClosedSockets closed;
};

// One request on one easy handle: the constructor checks the request and configures the handle
// completely (TLS, schemes, redirects, time-outs, size caps, header checks, link address policy,
// body); `finish` turns the handle's outcome into a response or the library's failure kind.
// The object is what libcurl's callbacks point at, so it stays where it was made until the
// transfer is over, and it must outlive the transfer.
class CurlTransfer {
 public:
  CurlTransfer(CURL* easy, const std::string& url, const PostRequest& request,
               const CurlHttpClientOptions& options);
  CurlTransfer(CURL* easy, const std::string& url, const GetRequest& request,
               const CurlHttpClientOptions& options);
  ~CurlTransfer();
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  using Clock = std::chrono::steady_clock;

  // The latest time the running loop must call `should_abort` again: when the read time-out
  // or the deadline would pass. Nothing while neither can.
  std::optional<Clock::time_point> next_check() const;
  // Whether the read time-out, the deadline or a stop request ends the transfer at `now`; the
  // loop then removes the handle and calls `finish(CURLE_ABORTED_BY_CALLBACK)`.
  bool should_abort(Clock::time_point now);
  // Takes a place at the gate of `shared` to open a connection, waiting for one until `until`
  // at most; false when none came free. A transfer starts only once it has one; the place is
  // given back once the connection is ready (or the transfer is over).
  bool enter(SharedConnections& shared, Clock::time_point until);
  // Whether a handshake the server seems to have dropped (a full listen queue drops them
  // silently) should be begun anew on a new socket at `now`; the loop then takes the handle out
  // and adds it again. Nothing has been sent yet.
  bool should_begin_anew(Clock::time_point now);
  // Has `wake` called (from whatever thread asks) when a stop is requested, so that the loop
  // notices at once. At most once per transfer.
  void wake_on_stop(std::function<void()> wake);

  // The response of a transfer that ended with `code`; throws the failure otherwise.
  HttpResponse finish(CURLcode code);

  struct State;

 private:
  CurlTransfer(CURL* easy, const std::string& url, const Headers& headers, const Timeout& timeout,
               CallLimits call_limits, const CurlHttpClientOptions& options, bool link_fetch);
  void set_json_body(const JsonBody& body);
  void set_streamed_body(const StreamedBody& body);
  void set_form_body(const Form& form);

  std::unique_ptr<State> state_;
};

// Runs one configured transfer to its end on the calling thread, with `multi` (which keeps the
// connections between transfers) as its loop, once the gate lets it connect; returns the code
// for `finish`.
CURLcode run_alone(CURLM* multi, CURL* easy, CurlTransfer& transfer, SharedConnections& shared);

// How long a loop may wait in curl_multi_poll: until libcurl's next timer or `next_check`,
// whichever is first.
int wait_ms(CURLM* multi, std::optional<CurlTransfer::Clock::time_point> next_check);

}  // namespace zantrel::host::internal
