#include "zantrel/host/http/curl_http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "zantrel/host/errors.h"
#include "zantrel/host/http/curl_engine.h"
#include "zantrel/host/http/curl_transfer.h"

namespace zantrel::host {
namespace {

using EasyPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using MultiPtr = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;

// A blocking transfer's handles: the multi handle is its loop and keeps its connections open.
struct Slot {
  MultiPtr multi{nullptr, &curl_multi_cleanup};
  EasyPtr easy{nullptr, &curl_easy_cleanup};
};

// Idle slots kept for reuse.
constexpr std::size_t kMaxIdleHandles = 64;

void ensure_curl_initialised() {
  static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (status != CURLE_OK) throw ConnectionError("libcurl failed to initialise");
}

}  // namespace

void check_http_url(const std::string& url) {
  std::string head = url.substr(0, 8);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!head.starts_with("http://") && !head.starts_with("https://")) {
    throw UnsupportedScheme("only http and https links are fetched");
  }
  if (url.find_first_of(std::string_view("\r\n\0 ", 4)) != std::string::npos) {
    throw InvalidURL("link holds a blank or a control character");
  }
}

class CurlHttpClient::Pool {
 public:
  Slot acquire() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        Slot slot = std::move(idle_.back());
        idle_.pop_back();
        return slot;
      }
    }
    Slot slot{MultiPtr(curl_multi_init(), &curl_multi_cleanup),
              EasyPtr(curl_easy_init(), &curl_easy_cleanup)};
    if (!slot.multi || !slot.easy) throw ConnectionError("libcurl could not make a handle");
    return slot;
  }

  void release(Slot slot) {
    // Options go; the open connections stay for the next request.
    curl_easy_reset(slot.easy.get());
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(slot));
  }

 private:
  std::mutex mutex_;
  std::vector<Slot> idle_;
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
