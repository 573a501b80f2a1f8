#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// libcurl's handles as owning values, and the one pool that keeps idle ones for reuse.
namespace zantrel::host::internal {

struct EasyCleanup {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct SlistCleanup {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
struct MimeCleanup {
  void operator()(curl_mime* mime) const noexcept { curl_mime_free(mime); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using SlistHandle = std::unique_ptr<curl_slist, SlistCleanup>;
using MimeHandle = std::unique_ptr<curl_mime, MimeCleanup>;

// New handles; ConnectionError when libcurl can't make one (out of memory).
EasyHandle make_easy();
MultiHandle make_multi();

// Idle handles (or sets of them) kept for the next transfer, at most `max_idle`: their open
// connections stay with them. Safe to share between threads.
template <class Handles>
class HandlePool {
 public:
  explicit HandlePool(std::size_t max_idle) : max_idle_(max_idle) {}

  // An idle one, else `make()`.
  template <class Make>
  Handles acquire(Make make) {
    {
      const std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        Handles handles = std::move(idle_.back());
        idle_.pop_back();
        return handles;
      }
    }
    return make();
  }

  // Back for reuse, its options reset by the caller (beyond `max_idle` it is closed).
  void release(Handles handles) {
    const std::lock_guard lock(mutex_);
    if (idle_.size() < max_idle_) idle_.push_back(std::move(handles));
  }

 private:
  std::size_t max_idle_;
  std::mutex mutex_;
  std::vector<Handles> idle_;
};

}  // namespace zantrel::host::internal
