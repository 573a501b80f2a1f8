#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "zantrel/host/http/curl_options.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::host {

namespace internal {
class CurlEngine;
struct SharedConnections;
}  // namespace internal

// The default HTTP stack: libcurl with TLS verification always on, only http and https, no
// redirects on posts, a response size cap, and connection reuse through a pool of handles
// (one per thread in use). Safe to share between threads.
class CurlHttpClient final : public HttpClient {
 public:
  explicit CurlHttpClient(CurlHttpClientOptions options = {});
  ~CurlHttpClient() override;
  CurlHttpClient(const CurlHttpClient&) = delete;
  CurlHttpClient& operator=(const CurlHttpClient&) = delete;

  HttpResponse post(const std::string& url, const PostRequest& request) override;
  HttpResponse get(const std::string& url, const GetRequest& request) override;
  Timeout base_timeout() const override { return options_.base_timeout; }

  // Non-blocking exchanges run on one event thread, started at the first of them and shared
  // by all; their completions run there.
  void post_async(const std::string& url, const PostRequest& request, HttpCompletion done) override;
  void get_async(const std::string& url, const GetRequest& request, HttpCompletion done) override;
  void wait_async(std::chrono::milliseconds delay, std::stop_token stop,
                  std::function<void()> done) override;

 private:
  class Pool;
  internal::CurlEngine& engine();

  CurlHttpClientOptions options_;
  // Before the pool: its handles' connections are closed through it.
  std::shared_ptr<internal::SharedConnections> connections_;
  std::unique_ptr<Pool> pool_;
  std::once_flag engine_started_;
  std::unique_ptr<internal::CurlEngine> engine_;
};

}  // namespace zantrel::host
