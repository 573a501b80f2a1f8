#pragma once

// Hands Python values to the library and back: JSON, bytes, references, time-outs, the
// logger bridge, and the gate that keeps the library's threads out of a finalising Python.

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/base/dialect.h"
#include "zantrel/host/base/timeout.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/references.h"

// Types that hold Python objects are hidden, as pybind11's own are: the module exports only
// its entry point.
#define ZANTREL_PYTHON_HIDDEN __attribute__((visibility("hidden")))

namespace zantrel::python {

namespace py = pybind11;

// Whether the library's threads may still enter Python. Closed at interpreter exit (atexit),
// after waiting for those inside: a thread that takes the GIL once finalisation has begun is
// ended by Python on the spot. One per process, as the interpreter is.
class PythonGate {
 public:
  static PythonGate& instance() {
    static PythonGate gate;
    return gate;
  }
  bool enter() {
    const std::lock_guard lock(mutex_);
    if (closed_) return false;
    ++inside_;
    return true;
  }
  void leave() {
    const std::lock_guard lock(mutex_);
    --inside_;
    left_.notify_all();
  }
  void close() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  int inside_ = 0;
  bool closed_ = false;
};

// Runs `work` with the GIL from a thread of the library; nothing once Python is going away.
// Returns whether it ran.
template <class Work>
bool with_python(Work work) {
  PythonGate& gate = PythonGate::instance();
  if (!gate.enter()) return false;
  {
    const py::gil_scoped_acquire gil;
    work();
  }
  gate.leave();
  return true;
}

// Drops a Python reference from a thread of the library: under the GIL, or (Python gone) not
// at all.
void drop(py::object& object);

py::object to_python(const nlohmann::ordered_json& value);
// A label (task_id, model_key): str, int, float, bool or None.
nlohmann::ordered_json from_python(const py::handle& value);

// A logger whose records go to a Python object's `debug` (None: no logger).
std::shared_ptr<host::Logger> logger_of(const py::object& logger);
host::Dialect dialect_of(const std::string& text);
host::Bytes bytes_of(const py::bytes& value);
// files: None, str, bytes, or a list of them.
host::Files files_of(const py::object& files);
// timeout: None, seconds, or a (connect, read) pair of seconds.
std::optional<host::Timeout> timeout_of(const py::object& timeout);

}  // namespace zantrel::python
