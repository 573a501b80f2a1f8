#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "zantrel/host/http/address_policy.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/version.h"

namespace zantrel::host {

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

 private:
  class Pool;
  CurlHttpClientOptions options_;
  std::unique_ptr<Pool> pool_;
};

// Throws UnsupportedScheme unless `url` starts with http:// or https:// (any letter case).
void check_http_url(const std::string& url);

}  // namespace zantrel::host
