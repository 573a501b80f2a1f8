#pragma once

#include <atomic>
#include <csignal>
#include <stop_token>
#include <thread>

namespace zantrel::cli {

// Turns Ctrl-C (SIGINT) and SIGTERM into a stop request while it lives. Make it before any
// thread that should not take those signals itself (threads inherit the blocked set).
class StopOnSignals {
 public:
  StopOnSignals();
  ~StopOnSignals();
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

  std::stop_token token() const { return stop_.get_token(); }
  bool stopped() const { return stop_.stop_requested(); }

 private:
  std::stop_source stop_;
  sigset_t signals_{};
  sigset_t previous_{};
  std::atomic<bool> done_{false};
  std::thread watcher_;
};

}  // namespace zantrel::cli
