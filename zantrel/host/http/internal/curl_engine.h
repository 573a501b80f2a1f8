#pragma once

// Not installed: the event loop behind CurlHttpClient's non-blocking exchanges.

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include "zantrel/host/http/curl_options.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::host::internal {

struct SharedConnections;

// One thread running libcurl's multi socket interface over epoll for any number of transfers:
// only those with something to do run on each wake-up. Submissions are configured on the
// submitting thread by the same CurlTransfer as blocking exchanges and handed over through a
// queue that wakes the loop; they start once the client's gate lets them open a connection.
// Read time-outs, deadlines, stop requests and pauses are timers of the loop. Completions run on
// the loop's thread, refusals before sending included.
class CurlEngine {
 public:
  // Transfers connect only once the gate of `connections` lets them.
  CurlEngine(const CurlHttpClientOptions& options, std::shared_ptr<SharedConnections> connections);
  // Fails whatever is still running with ConnectionError, then stops the thread.
  ~CurlEngine();
  CurlEngine(const CurlEngine&) = delete;
  CurlEngine& operator=(const CurlEngine&) = delete;

  void post(const std::string& url, const PostRequest& request, HttpCompletion done);
  void get(const std::string& url, const GetRequest& request, HttpCompletion done);
  void wait(std::chrono::milliseconds delay, std::stop_token stop, std::function<void()> done);

  struct Core;

 private:
  template <class Request>
  void submit(const std::string& url, const Request& request, HttpCompletion done);

  const CurlHttpClientOptions& options_;
  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace zantrel::host::internal
