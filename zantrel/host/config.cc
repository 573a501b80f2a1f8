#include "zantrel/host/config.h"

#include <algorithm>
#include <mutex>

#include "zantrel/host/http/curl_http_client.h"

namespace zantrel::config {
namespace {

// The shared client: a documented piece of process-wide state, guarded by its mutex.
struct SharedClient {
  std::mutex mutex;
  std::shared_ptr<host::HttpClient> client;
};

SharedClient& shared() {
  static SharedClient instance;
  return instance;
}

}  // namespace

std::shared_ptr<host::HttpClient> http_client() {
  SharedClient& s = shared();
  std::lock_guard lock(s.mutex);
  if (!s.client) s.client = std::make_shared<host::CurlHttpClient>();
  return s.client;
}

void set_http_client(std::shared_ptr<host::HttpClient> client) {
  SharedClient& s = shared();
  std::lock_guard lock(s.mutex);
  s.client = std::move(client);
}

std::shared_ptr<host::HttpClient> http_client_or_shared(std::shared_ptr<host::HttpClient> own) {
  return own ? std::move(own) : http_client();
}

bool is_supported_ratio(std::string_view ratio) noexcept {
  return std::find(SUPPORTED_RATIOS.begin(), SUPPORTED_RATIOS.end(), ratio) !=
         SUPPORTED_RATIOS.end();
}

bool is_supported_model(std::string_view model) noexcept {
  return std::find(SUPPORTED_MODELS.begin(), SUPPORTED_MODELS.end(), model) !=
         SUPPORTED_MODELS.end();
}

}  // namespace zantrel::config
