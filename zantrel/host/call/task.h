#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zantrel::host::internal {

// The steps of a call written once as a coroutine. Run blocking, every exchange completes before
// its co_await returns and the coroutine never suspends; run on the event engine, it suspends at
// each exchange and the engine resumes it. A task starts when awaited (or run) and hands its
// value or failure to whoever awaited it.
template <class T>
class [[nodiscard]] Task {
 public:
  struct promise_type {
    std::optional<T> value;
    std::exception_ptr failure;
    std::coroutine_handle<> continuation;

    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct Resume {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept {
        const auto next = done.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    Resume final_suspend() noexcept { return {}; }
    template <class Value>
    void return_value(Value&& result) {
      value.emplace(std::forward<Value>(result));
    }
    void unhandled_exception() noexcept { failure = std::current_exception(); }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&&) = delete;
  Task(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return take(); }

  // Runs a task whose exchanges are all blocking to its end on the calling thread.
  T run_blocking() && {
    handle_.resume();
    if (!handle_.done()) throw std::logic_error("a blocking call suspended");
    return take();
  }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  T take() {
    auto& promise = handle_.promise();
    if (promise.failure) std::rethrow_exception(promise.failure);
    return std::move(*promise.value);
  }

  std::coroutine_handle<promise_type> handle_;
};

// Starts `task` and has `done` called with its value where it ends (on the engine's thread, or
// on this one when it never waits). The task must not fail: a call's steps turn every failure
// into a result.
template <class T, class Done>
void run_detached(Task<T> task, Done done);

namespace detail {
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

template <class T, class Done>
Detached drive(Task<T> task, Done done) {
  T value = co_await std::move(task);
  try {
    done(std::move(value));
  } catch (...) {
    // A host's callback that throws must not end the event thread (and the process with it).
  }
}
}  // namespace detail

template <class T, class Done>
void run_detached(Task<T> task, Done done) {
  detail::drive(std::move(task), std::move(done));
}

}  // namespace zantrel::host::internal
