#pragma once

// What a call gives Python (its result, report, previews and progress) and the glue every
// entry of both clients shares: call options from keywords, non-blocking calls handed to a
// Python callback, prepared requests.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

#include "bindings/python/bridge.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/progress.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/host/result/prepared_request.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::python {

// What a call gives Python: the result with its report. The image becomes a Python `bytes`
// at the first look, and the C++ copy goes then.
struct ZANTREL_PYTHON_HIDDEN PyResult {
  host::ServiceResult result;
  host::CallReport report;
  py::object data{};

  py::object more{};  // the images after the first, as a list of bytes

  py::object image() {
    if (!data) {
      const host::Bytes* bytes = result.bytes();
      if (bytes == nullptr) return py::none();
      data = py::bytes(reinterpret_cast<const char*>(bytes->data()), bytes->size());
      py::list rest;
      for (const host::Bytes& image : result.take_more_images()) {
        rest.append(py::bytes(reinterpret_cast<const char*>(image.data()), image.size()));
      }
      more = std::move(rest);
      result = host::ServiceResult::success(host::Bytes{});
    }
    return data;
  }

  // Every image, the first being `data`: a list of bytes, empty without an image.
  py::list all_images() {
    py::list out;
    py::object first = image();
    if (first.is_none()) return out;
    out.append(first);
    for (const py::handle& image : more) out.append(image);
    return out;
  }
};

// A streamed call's preview, and what a progress observer in Python is handed.
struct ZANTREL_PYTHON_HIDDEN PyPreview {
  std::string kind;  // "partial" or "thought"
  int index = 1;
  std::optional<int> of;
  std::string mime_type;
  py::bytes data;
};
struct ZANTREL_PYTHON_HIDDEN PyProgress {
  std::string phase;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  std::optional<PyPreview> preview;
};

// The observer that hands each event to `on_progress` (None: no observer), with the GIL, on the
// thread that tells it. What the callable raises is reported as unraisable, never to the call.
host::ProgressObserver observer_of(const py::object& on_progress);

// A call's options as Python gives them (`CallOptions(task_id=..., timeout=..., ...)`); each
// call sets its own report.
struct ZANTREL_PYTHON_HIDDEN PyCallOptions {
  host::CallOptions options;
};

// Cancels a non-blocking call.
struct CallHandle {
  std::stop_source stop;
  void cancel() { stop.request_stop(); }
};

// Runs `start_async` and hands the result to `done` (called with the GIL on the engine thread).
template <class Start>
std::shared_ptr<CallHandle> start_detached(Start start, py::function done) {
  auto handle = std::make_shared<CallHandle>();
  auto slot = std::make_shared<PyResult>(
      PyResult{host::ServiceResult::fail(host::ErrorCode::SERVICE_BUSY), {}});
  auto callback = std::make_shared<py::object>(std::move(done));
  const auto finish = [slot, callback](host::ServiceResult result) {
    slot->result = std::move(result);
    with_python([&] {
      try {
        (*callback)(py::cast(std::move(*slot)));
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zantrel completion");
      }
    });
    drop(*callback);
  };
  {
    const py::gil_scoped_release released;
    start(handle->stop.get_token(), &slot->report, finish);
  }
  return handle;
}

// A prepared request as (path, content type, body); a refused one raises ValueError.
template <class Prepare>
py::tuple prepared_of(Prepare prepare) {
  try {
    host::PreparedRequest prepared = prepare();
    const std::string_view body = prepared.text();
    return py::make_tuple(prepared.path, prepared.content_type,
                          py::bytes(body.data(), body.size()));
  } catch (const host::InvalidArgument& e) {
    throw py::value_error(e.what());
  }
}
// ErrorCode, CallReport, Preview, Progress, ServiceResult and CallHandle.
void init_results(py::module_& m);

}  // namespace zantrel::python
