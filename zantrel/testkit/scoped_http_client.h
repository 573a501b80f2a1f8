#pragma once

#include <memory>

#include "zantrel/host/config.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::testkit {

// Installs an HTTP client as the shared one for the lifetime of this object and puts the one
// it replaced back afterwards, so a test cannot leak its fake into the next.
class ScopedHttpClient {
 public:
  explicit ScopedHttpClient(std::shared_ptr<host::HttpClient> client)
      : previous_(config::http_client()) {
    config::set_http_client(std::move(client));
  }
  ScopedHttpClient(const ScopedHttpClient&) = delete;
  ScopedHttpClient& operator=(const ScopedHttpClient&) = delete;
  ~ScopedHttpClient() { config::set_http_client(previous_); }

 private:
  std::shared_ptr<host::HttpClient> previous_;
};

}  // namespace zantrel::testkit
