#pragma once

#include <pybind11/pybind11.h>

#include <csignal>
#include <stop_token>
#include <thread>

namespace zantrel::python {

// Ctrl-C during a blocking call. Python runs its SIGINT handler only between bytecodes, so a
// call of minutes would ignore it and then lose its result to the KeyboardInterrupt raised
// after. While one of these lives on the main thread, SIGINT also cancels the call: a handler
// in front of Python's notes it (and hands the signal on), and a watcher asks the call to stop.
// Afterwards `raise_if_interrupted` raises KeyboardInterrupt with the call's outcome attached.
class InterruptibleCall {
 public:
  InterruptibleCall();
  ~InterruptibleCall();
  InterruptibleCall(const InterruptibleCall&) = delete;
  InterruptibleCall& operator=(const InterruptibleCall&) = delete;

  std::stop_token token() const { return stop_.get_token(); }

  // A blocking call as the bindings run it: `call()` with the GIL released and `options.stop`
  // this guard's token, then raise_if_interrupted with `outcome`.
  template <class Options, class Call, class Outcome>
  static void run(Options& options, Call call, Outcome outcome) {
    InterruptibleCall interruptible;
    options.stop = interruptible.token();
    {
      const pybind11::gil_scoped_release released;
      call();
    }
    interruptible.raise_if_interrupted(outcome);
  }

  // With the GIL held, once the call has returned: when Ctrl-C came, Python's own handler runs
  // (by default raising KeyboardInterrupt), and the exception gets `outcome()` as its `result`,
  // so that a call that had finished (and was paid for) is not lost.
  template <class Outcome>
  void raise_if_interrupted(Outcome outcome) {
    if (interrupted_here()) raise(outcome());
  }

 private:
  bool interrupted_here() const;
  void raise(const pybind11::object& outcome);

 public:
 private:
  std::stop_source stop_;
  bool installed_ = false;
  struct sigaction previous_ {};
  std::jthread watcher_;
};

}  // namespace zantrel::python
