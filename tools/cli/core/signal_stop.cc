#include "tools/cli/core/signal_stop.h"

#include <pthread.h>

#include <ctime>

namespace zantrel::cli {

StopOnSignals::StopOnSignals() {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
  watcher_ = std::thread([this] {
    // Wakes now and then to notice that it is no longer needed.
    const timespec tick{0, 100'000'000};
    while (!done_.load()) {
      if (sigtimedwait(&signals_, nullptr, &tick) > 0) stop_.request_stop();
    }
  });
}

StopOnSignals::~StopOnSignals() {
  done_ = true;
  watcher_.join();
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace zantrel::cli
