#pragma once

#include <chrono>
#include <coroutine>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "zantrel/host/base/call_limits.h"
#include "zantrel/host/base/timeout.h"
#include "zantrel/host/call/progress_relay.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::host::internal {

// How a call's steps reach the network: blocking (each exchange returns when done, on the
// calling thread) or non-blocking (the step suspends and the HTTP client's event loop resumes
// it). The steps are the same either way. Every request sent carries the call's limits, and
// nothing is sent once they say stop.
class Exchange {
 public:
  enum class Mode { kBlocking, kNonBlocking };

  // `progress`: who is told how the call's posts go (it must outlive the exchange). `timeout`:
  // the call's own, which its link fetches take too (empty: the HTTP stack's).
  Exchange(HttpClient& client, Mode mode, CallLimits limits, ProgressRelay* progress = nullptr,
           Timeout timeout = {})
      : client_(client),
        mode_(mode),
        limits_(std::move(limits)),
        progress_(progress),
        timeout_(timeout) {}

  HttpClient& client() const noexcept { return client_; }
  // The time-out of the exchanges the call makes beside its request (reference and answer
  // links): the call's, else the HTTP stack's.
  Timeout link_timeout() const { return timeout_.empty() ? client_.base_timeout() : timeout_; }
  const CallLimits& limits() const noexcept { return limits_; }
  // The call's progress relay; nullptr for exchanges outside a call.
  ProgressRelay* progress() const noexcept { return progress_; }

  template <class Request>
  class Awaiter {
   public:
    Awaiter(const Exchange& exchange, const std::string& url, Request& request)
        : exchange_(exchange), url_(url), request_(request) {}

    bool await_ready() {
      try {
        exchange_.limits_.check();
        request_.limits = exchange_.limits_;
        if constexpr (std::is_same_v<Request, PostRequest>) {
          if (exchange_.progress_ != nullptr) {
            request_.on_progress = exchange_.progress_->transfer_observer();
          }
        }
      } catch (...) {
        outcome_ = std::current_exception();
        return true;
      }
      if (exchange_.mode_ == Mode::kNonBlocking) return false;
      try {
        outcome_ = send_blocking();
      } catch (...) {
        outcome_ = std::current_exception();
      }
      return true;
    }

    // The completion always resumes the call, so that it goes on where the HTTP client runs
    // its completions (the event thread), even when that is before this returns. Nothing here
    // may touch the awaiter once the exchange is handed over.
    void await_suspend(std::coroutine_handle<> waiting) {
      waiting_ = waiting;
      send_async([this](HttpOutcome outcome) {
        outcome_ = std::move(outcome);
        waiting_.resume();
      });
    }

    HttpResponse await_resume() {
      if (auto* failure = std::get_if<std::exception_ptr>(&outcome_)) {
        std::rethrow_exception(*failure);
      }
      return std::move(std::get<HttpResponse>(outcome_));
    }

   private:
    HttpResponse send_blocking() {
      if constexpr (std::is_same_v<Request, PostRequest>) {
        return exchange_.client_.post(url_, request_);
      } else {
        return exchange_.client_.get(url_, request_);
      }
    }
    template <class Done>
    void send_async(Done done) {
      if constexpr (std::is_same_v<Request, PostRequest>) {
        exchange_.client_.post_async(url_, request_, std::move(done));
      } else {
        exchange_.client_.get_async(url_, request_, std::move(done));
      }
    }

    const Exchange& exchange_;
    const std::string& url_;
    Request& request_;
    HttpOutcome outcome_;
    std::coroutine_handle<> waiting_;
  };

  class PauseAwaiter {
   public:
    PauseAwaiter(const Exchange& exchange, std::chrono::milliseconds delay)
        : exchange_(exchange), delay_(delay) {}
    bool await_ready() {
      if (exchange_.mode_ == Mode::kNonBlocking) return false;
      exchange_.client_.HttpClient::wait_async(delay_, exchange_.limits_.stop, [] {});
      return true;
    }
    void await_suspend(std::coroutine_handle<> waiting) {
      waiting_ = waiting;
      exchange_.client_.wait_async(delay_, exchange_.limits_.stop, [this] { waiting_.resume(); });
    }
    void await_resume() const noexcept {}

   private:
    const Exchange& exchange_;
    std::chrono::milliseconds delay_;
    std::coroutine_handle<> waiting_;
  };

  // co_await post(...) gives the response or throws what the HTTP client failed with (or
  // Cancelled / DeadlineExceeded before sending). `url` and `request` must outlive the await.
  Awaiter<PostRequest> post(const std::string& url, PostRequest& request) const {
    return {*this, url, request};
  }
  Awaiter<GetRequest> get(const std::string& url, GetRequest& request) const {
    return {*this, url, request};
  }
  // Waits `delay`, or less when the call is stopped.
  PauseAwaiter pause(std::chrono::milliseconds delay) const { return {*this, delay}; }

 private:
  HttpClient& client_;
  Mode mode_;
  CallLimits limits_;
  ProgressRelay* progress_;
  Timeout timeout_;
};

}  // namespace zantrel::host::internal
