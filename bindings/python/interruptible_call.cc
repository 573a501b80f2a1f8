#include "bindings/python/interruptible_call.h"

#include <atomic>
#include <chrono>

namespace zantrel::python {
namespace {

// The one state a signal handler may touch: set by the handler, read by the watcher. Only the
// main thread installs the handler, one call at a time.
std::atomic<bool> interrupted{false};
struct sigaction python_handler {};

void on_interrupt(int signal) {
  interrupted.store(true);
  // Python's own handler only notes the signal for the interpreter: safe to call from here.
  if (python_handler.sa_handler != SIG_DFL && python_handler.sa_handler != SIG_IGN &&
      python_handler.sa_handler != nullptr) {
    python_handler.sa_handler(signal);
  }
}

bool on_main_thread() {
  const auto threading = pybind11::module_::import("threading");
  return threading.attr("current_thread")().is(threading.attr("main_thread")());
}

}  // namespace

InterruptibleCall::InterruptibleCall() {
  if (!on_main_thread()) return;
  struct sigaction ours {};
  ours.sa_handler = on_interrupt;
  sigemptyset(&ours.sa_mask);
  if (::sigaction(SIGINT, nullptr, &previous_) != 0 || previous_.sa_handler == SIG_IGN) return;
  python_handler = previous_;
  interrupted.store(false);
  if (::sigaction(SIGINT, &ours, nullptr) != 0) return;
  installed_ = true;
  watcher_ = std::jthread([this](const std::stop_token& done) {
    while (!done.stop_requested()) {
      if (interrupted.load()) {
        stop_.request_stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

InterruptibleCall::~InterruptibleCall() {
  if (!installed_) return;
  watcher_.request_stop();
  if (watcher_.joinable()) watcher_.join();
  ::sigaction(SIGINT, &previous_, nullptr);
}

bool InterruptibleCall::interrupted_here() const { return installed_ && interrupted.load(); }

void InterruptibleCall::raise(const pybind11::object& outcome) {
  if (PyErr_CheckSignals() == 0) return;  // a handler of the host's own that did not raise
  pybind11::error_already_set raised;
  if (raised.value()) {
    try {
      raised.value().attr("result") = outcome;
    } catch (const pybind11::error_already_set&) {
      // An exception that takes no attributes goes as it is.
    }
  }
  throw raised;
}

}  // namespace zantrel::python
