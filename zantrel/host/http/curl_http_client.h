#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "zantrel/host/http/address_policy.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/version.h"

namespace zantrel::host {

namespace internal {
class CurlEngine;
struct SharedConnections;
}  // namespace internal

struct CurlHttpClientOptions {
  Timeout base_timeout{std::chrono::seconds(10), std::chrono::seconds(600)};
  // Responses above this size fail with ResponseTooLarge without being read further.
  std::size_t max_response_bytes = std::size_t{256} << 20;
  // Bundle of CA certificates to trust instead of the system's (empty = system bundle).
  std::string ca_file;
  std::string user_agent = "zantrel/" ZANTREL_VERSION_STRING;
  // Where link fetches (get) may connect. kPublicOnly is checked on the address actually
  // connected to, on every redirect hop, so neither DNS tricks nor redirects get around it.
  LinkAddressPolicy link_addresses = LinkAddressPolicy::kAny;
  // Connections being opened to one host (scheme, name, port) at once, over all calls of this
  // client; further calls wait for a place (0 = no bound). A burst of new connections beyond a
  // server's listen queue (as small as 5 on some servers) makes its kernel answer with SYN
  // cookies, and then with resets to requests longer than a segment. Connections are reused,
  // so only a burst pays, about one round trip (two with TLS) per this many connections.
  std::size_t max_connecting_per_host = 4;
};

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

// Throws UnsupportedScheme unless `url` starts with http:// or https:// (any letter case).
void check_http_url(const std::string& url);

}  // namespace zantrel::host
