#include "zantrel/host/http/curl_http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "zantrel/host/http/internal/curl_engine.h"
#include "zantrel/host/http/internal/curl_handles.h"
#include "zantrel/host/http/internal/curl_transfer.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

using internal::EasyHandle;
using internal::MultiHandle;

// A blocking transfer's handles: the multi handle is its loop and keeps its connections open.
struct Slot {
  MultiHandle multi;
  EasyHandle easy;
};

// Idle slots kept for reuse.
constexpr std::size_t kMaxIdleHandles = 64;

void ensure_curl_initialised() {
  static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (status != CURLE_OK) throw ConnectionError("libcurl failed to initialise");
}

}  // namespace

class CurlHttpClient::Pool : public internal::HandlePool<Slot> {
 public:
  Pool() : HandlePool(kMaxIdleHandles) {}
  Slot acquire() {
    return HandlePool::acquire([] { return Slot{internal::make_multi(), internal::make_easy()}; });
  }
  void release(Slot slot) {
    // Options go; the open connections stay for the next request.
    curl_easy_reset(slot.easy.get());
    HandlePool::release(std::move(slot));
  }
};

namespace {

// Borrows a handle from the pool for one transfer and gives it back afterwards.
template <class Pool>
class Lease {
 public:
  explicit Lease(Pool& pool) : pool_(pool), slot_(pool.acquire()) {}
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() { pool_.release(std::move(slot_)); }
  CURL* easy() const { return slot_.easy.get(); }
  CURLM* multi() const { return slot_.multi.get(); }

 private:
  Pool& pool_;
  Slot slot_;
};

template <class Pool, class Request>
HttpResponse perform(Pool& pool, internal::SharedConnections& connections, const std::string& url,
                     const Request& request, const CurlHttpClientOptions& options) {
  Lease lease(pool);
  internal::CurlTransfer transfer(lease.easy(), url, request, options);
  return transfer.finish(internal::run_alone(lease.multi(), lease.easy(), transfer, connections));
}

}  // namespace

CurlHttpClient::CurlHttpClient(CurlHttpClientOptions options)
    : options_(std::move(options)),
      connections_(std::make_shared<internal::SharedConnections>(options_.max_connecting_per_host)),
      pool_(std::make_unique<Pool>()) {
  ensure_curl_initialised();
}

CurlHttpClient::~CurlHttpClient() = default;

HttpResponse CurlHttpClient::post(const std::string& url, const PostRequest& request) {
  return perform(*pool_, *connections_, url, request, options_);
}

HttpResponse CurlHttpClient::get(const std::string& url, const GetRequest& request) {
  return perform(*pool_, *connections_, url, request, options_);
}

internal::CurlEngine& CurlHttpClient::engine() {
  std::call_once(engine_started_, [this] {
    engine_ = std::make_unique<internal::CurlEngine>(options_, connections_);
  });
  return *engine_;
}

void CurlHttpClient::post_async(const std::string& url, const PostRequest& request,
                                HttpCompletion done) {
  engine().post(url, request, std::move(done));
}

void CurlHttpClient::get_async(const std::string& url, const GetRequest& request,
                               HttpCompletion done) {
  engine().get(url, request, std::move(done));
}

void CurlHttpClient::wait_async(std::chrono::milliseconds delay, std::stop_token stop,
                                std::function<void()> done) {
  engine().wait(delay, std::move(stop), std::move(done));
}

}  // namespace zantrel::host
