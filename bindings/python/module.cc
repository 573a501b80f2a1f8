// The `zantrel` Python module's native part: both clients, their results and reports, a logger
// bridge, and non-blocking calls handed to Python through a callback.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "bindings/python/interruptible_call.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/catalogue_refresh.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace py = pybind11;
using json = nlohmann::ordered_json;

namespace zantrel::python {
namespace {

using host::ErrorCode;

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
void drop(py::object& object) {
  if (!with_python([&] { object = py::object(); })) object.release();
}

py::object to_python(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return py::none();
    case json::value_t::boolean:
      return py::bool_(value.get<bool>());
    case json::value_t::number_integer:
      return py::int_(value.get<std::int64_t>());
    case json::value_t::number_unsigned:
      return py::int_(value.get<std::uint64_t>());
    case json::value_t::number_float:
      return py::float_(value.get<double>());
    case json::value_t::string:
      return py::str(value.get_ref<const std::string&>());
    case json::value_t::array: {
      py::list list;
      for (const json& item : value) list.append(to_python(item));
      return list;
    }
    default: {
      py::dict dict;  // insertion-ordered: the record's keys keep their order
      for (const auto& [key, item] : value.items()) dict[py::str(key)] = to_python(item);
      return dict;
    }
  }
}

json from_python(const py::handle& value) {
  if (value.is_none()) return nullptr;
  if (py::isinstance<py::bool_>(value)) return value.cast<bool>();
  if (py::isinstance<py::int_>(value)) return value.cast<std::int64_t>();
  if (py::isinstance<py::float_>(value)) return value.cast<double>();
  if (py::isinstance<py::str>(value)) return value.cast<std::string>();
  throw py::type_error("task_id and model_key must be str, int, float, bool or None");
}

// Hands each record to a Python object's `debug` as one dict, taking the GIL only for that.
class PythonLogger final : public host::Logger {
 public:
  explicit PythonLogger(py::object target) : target_(std::move(target)) {}
  ~PythonLogger() override { drop(target_); }
  PythonLogger(const PythonLogger&) = delete;
  PythonLogger& operator=(const PythonLogger&) = delete;

  void debug(const json& record) override {
    with_python([&] {
      try {
        target_.attr("debug")(to_python(record));
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zantrel logger");
      }
    });
  }

 private:
  py::object target_;
};

std::shared_ptr<host::Logger> logger_of(const py::object& logger) {
  if (logger.is_none()) return nullptr;
  if (!py::hasattr(logger, "debug")) throw py::type_error("logger must have a debug method");
  return std::make_shared<PythonLogger>(logger);
}

host::Dialect dialect_of(const std::string& text) {
  if (auto dialect = host::parse_dialect(text)) return *dialect;
  throw py::value_error("dialect must be 'gateway' or 'direct'");
}

host::Bytes bytes_of(const py::bytes& value) {
  const std::string_view view(value);
  return host::Bytes(view.begin(), view.end());
}

// files: None, str, bytes, or a list of them.
host::Files files_of(const py::object& files) {
  if (files.is_none()) return {};
  if (py::isinstance<py::str>(files)) return files.cast<std::string>();
  if (py::isinstance<py::bytes>(files)) return bytes_of(files);
  if (py::isinstance<py::list>(files) || py::isinstance<py::tuple>(files)) {
    std::vector<host::Reference> references;
    for (const py::handle& item : files) {
      if (py::isinstance<py::str>(item)) {
        references.emplace_back(item.cast<std::string>());
      } else if (py::isinstance<py::bytes>(item)) {
        references.emplace_back(bytes_of(py::reinterpret_borrow<py::bytes>(item)));
      } else {
        throw py::type_error("files must be str, bytes or a list of them");
      }
    }
    return references;
  }
  throw py::type_error("files must be str, bytes or a list of them");
}

// timeout: None, seconds, or a (connect, read) pair of seconds.
std::optional<host::Timeout> timeout_of(const py::object& timeout) {
  if (timeout.is_none()) return std::nullopt;
  if (py::isinstance<py::tuple>(timeout) && py::len(timeout) == 2) {
    const auto pair = timeout.cast<py::tuple>();
    if (py::isinstance<py::float_>(pair[0]) || py::isinstance<py::int_>(pair[0])) {
      return host::Timeout::from_seconds(pair[0].cast<double>(), pair[1].cast<double>());
    }
  }
  if (!py::isinstance<py::bool_>(timeout) &&
      (py::isinstance<py::float_>(timeout) || py::isinstance<py::int_>(timeout))) {
    const double seconds = timeout.cast<double>();
    return host::Timeout::from_seconds(seconds, seconds);
  }
  throw py::type_error("timeout must be seconds or a (connect, read) pair");
}

// What a call gives Python: the result with its report. The image becomes a Python `bytes`
// at the first look, and the C++ copy goes then.
struct PyResult {
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
struct PyPreview {
  std::string kind;  // "partial" or "thought"
  int index = 1;
  std::optional<int> of;
  std::string mime_type;
  py::bytes data;
};
struct PyProgress {
  std::string phase;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  std::optional<PyPreview> preview;
};

// The observer that hands each event to `on_progress` (None: no observer), with the GIL, on the
// thread that tells it. What the callable raises is reported as unraisable, never to the call.
host::ProgressObserver observer_of(const py::object& on_progress) {
  if (on_progress.is_none()) return {};
  struct Held {
    py::object callable;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() { drop(callable); }
  };
  auto held = std::make_shared<Held>();
  held->callable = on_progress;
  return [held](const host::ProgressEvent& event) {
    with_python([&] {
      PyProgress progress{std::string(host::to_string(event.phase)), event.bytes_sent,
                          event.bytes_received, std::nullopt};
      if (const host::Preview* preview = event.preview) {
        progress.preview =
            PyPreview{preview->kind == host::Preview::Kind::kThought ? "thought" : "partial",
                      preview->index, preview->of, preview->mime_type,
                      py::bytes(reinterpret_cast<const char*>(preview->bytes.data()),
                                static_cast<py::ssize_t>(preview->bytes.size()))};
      }
      try {
        held->callable(py::cast(std::move(progress)));
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable("zantrel on_progress");
      }
    });
  };
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the Python call's keyword order
template <class Options>
Options call_options(const py::object& task_id, const py::object& model_key,
                     const py::object& timeout, host::CallReport* report, bool stream,
                     const py::object& on_progress) {
  Options options;
  options.task_id = from_python(task_id);
  options.model_key = from_python(model_key);
  options.timeout = timeout_of(timeout);
  options.report = report;
  options.stream = stream;
  options.on_progress = observer_of(on_progress);
  return options;
}

// Cancels a non-blocking call.
struct CallHandle {
  std::stop_source stop;
  void cancel() { stop.request_stop(); }
};

// Runs `start_async` and hands the result to `done` (called with the GIL on the engine thread).
template <class Start>
std::shared_ptr<CallHandle> start_detached(Start start, py::function done) {
  auto handle = std::make_shared<CallHandle>();
  auto slot =
      std::make_shared<PyResult>(PyResult{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}});
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

}  // namespace
}  // namespace zantrel::python

// NOLINTNEXTLINE(readability-function-size): the module's one table of names
PYBIND11_MODULE(_zantrel, m) {
  using namespace zantrel;          // NOLINT(google-build-using-namespace)
  using namespace zantrel::python;  // NOLINT(google-build-using-namespace)
  // Before Python finalises: no thread of the library enters it any more.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    const py::gil_scoped_release released;
    PythonGate::instance().close();
  }));

  m.doc() =
      "zantrel image clients: Gemini generateContent (TavelinaClient) and the images API "
      "(CorvaneClient)";
  // The user's refreshed catalogue (zantrel-image models --refresh), as the CLI reads it.
  if (auto why = config::use_cached_model_catalogue()) {
    PyErr_WarnEx(PyExc_RuntimeWarning, (*why + "; the built-in catalogue is used").c_str(), 1);
  }

  py::enum_<ErrorCode>(m, "ErrorCode")
      .value("INVALID_PARAMS", ErrorCode::INVALID_PARAMS)
      .value("IMAGE_GENERATE_FAIL", ErrorCode::IMAGE_GENERATE_FAIL)
      .value("NO_IMAGE_RESULT", ErrorCode::NO_IMAGE_RESULT)
      .value("SERVICE_BUSY", ErrorCode::SERVICE_BUSY)
      .value("SERVICE_TIMEOUT", ErrorCode::SERVICE_TIMEOUT);

  py::class_<host::CallReport>(m, "CallReport")
      .def_property_readonly(
          "delivery",
          [](const host::CallReport& r) { return std::string(host::to_string(r.delivery)); })
      .def_readonly("failure_kind", &host::CallReport::failure_kind)
      .def_readonly("http_status", &host::CallReport::http_status)
      .def_property_readonly("service_error",
                             [](const host::CallReport& r) { return to_python(r.service_error); })
      .def_readonly("retry_after_s", &host::CallReport::retry_after_s)
      .def_readonly("request_id", &host::CallReport::request_id)
      .def_property_readonly(
          "usage", [](const host::CallReport& r) { return to_python(host::to_json(r)["usage"]); })
      .def_property_readonly(
          "cost", [](const host::CallReport& r) { return to_python(host::to_json(r)["cost"]); })
      .def_readonly("model_sent", &host::CallReport::model_sent)
      .def_readonly("model_note", &host::CallReport::model_note)
      .def_readonly("model_warning", &host::CallReport::model_warning)
      .def_readonly("model_version", &host::CallReport::model_version)
      .def_readonly("text", &host::CallReport::text)
      .def_readonly("finish_reason", &host::CallReport::finish_reason)
      .def_readonly("block_reason", &host::CallReport::block_reason)
      .def_property_readonly(
          "image", [](const host::CallReport& r) { return to_python(host::to_json(r)["image"]); })
      .def_property_readonly(
          "images", [](const host::CallReport& r) { return to_python(host::to_json(r)["images"]); })
      .def_property_readonly(
          "answer", [](const host::CallReport& r) { return to_python(host::to_json(r)["answer"]); })
      .def_property_readonly(
          "stream", [](const host::CallReport& r) { return to_python(host::to_json(r)["stream"]); })
      .def_readonly("turn", &host::CallReport::turn)
      .def_property_readonly(
          "files", [](const host::CallReport& r) { return to_python(host::to_json(r)["files"]); })
      .def_property_readonly(
          "timings_s",
          [](const host::CallReport& r) { return to_python(host::to_json(r)["timings_s"]); })
      .def_readonly("bytes_sent", &host::CallReport::bytes_sent)
      .def_readonly("bytes_received", &host::CallReport::bytes_received)
      .def_readonly("attempts", &host::CallReport::attempts)
      .def("to_dict", [](const host::CallReport& r) { return to_python(host::to_json(r)); });

  py::class_<PyPreview>(m, "Preview")
      .def_readonly("kind", &PyPreview::kind)
      .def_readonly("index", &PyPreview::index)
      .def_readonly("of", &PyPreview::of)
      .def_readonly("mime_type", &PyPreview::mime_type)
      .def_readonly("data", &PyPreview::data)
      .def("__repr__", [](const PyPreview& p) {
        return "<Preview " + p.kind + " " + std::to_string(p.index) +
               (p.of ? " of " + std::to_string(*p.of) : "") + ">";
      });
  py::class_<PyProgress>(m, "Progress")
      .def_readonly("phase", &PyProgress::phase)
      .def_readonly("bytes_sent", &PyProgress::bytes_sent)
      .def_readonly("bytes_received", &PyProgress::bytes_received)
      .def_readonly("preview", &PyProgress::preview)
      .def("__repr__", [](const PyProgress& p) { return "<Progress " + p.phase + ">"; });

  py::class_<PyResult>(m, "ServiceResult")
      .def_property_readonly("ok", [](const PyResult& r) { return r.result.ok(); })
      .def_property_readonly("code", [](const PyResult& r) { return r.result.code(); })
      .def_property_readonly("msg", [](const PyResult& r) { return r.result.msg(); })
      .def_property_readonly("data", &PyResult::image)
      .def_property_readonly("link",
                             [](const PyResult& r) {
                               return r.result.link() ? py::cast(*r.result.link()) : py::none();
                             })
      .def_property_readonly("images", &PyResult::all_images)
      .def_property_readonly("report", [](const PyResult& r) { return r.report; })
      .def("__repr__", [](const PyResult& r) {
        if (r.result.ok()) return std::string("<ServiceResult ok>");
        return "<ServiceResult " + std::string(host::to_string(*r.result.code())) + ">";
      });

  py::class_<CallHandle, std::shared_ptr<CallHandle>>(m, "CallHandle")
      .def("cancel", &CallHandle::cancel, "Ends the call within milliseconds.");

  using image::tavelin::TavelinaClient;
  // The Gemini members beyond the contract's, checked by the Python layer; `extra` as JSON text.
  const auto gemini_request =
      [](std::string prompt, std::string aspect_ratio, std::string image_size, host::Files files,
         std::string model, std::optional<std::int64_t> seed, std::optional<double> temperature,
         std::vector<std::pair<std::string, std::string>> safety,
         std::optional<std::string> thinking_level, bool text, const std::string& extra,
         bool upload_references) {
        image::tavelin::GenerationRequest request{.prompt = std::move(prompt),
                                                  .aspect_ratio = std::move(aspect_ratio),
                                                  .image_size = std::move(image_size),
                                                  .files = std::move(files),
                                                  .model = std::move(model),
                                                  .seed = seed,
                                                  .temperature = temperature,
                                                  .thinking_level = std::move(thinking_level),
                                                  .with_text = text,
                                                  .upload_references = upload_references};
        for (auto& [category, threshold] : safety) {
          request.safety_settings.push_back({std::move(category), std::move(threshold)});
        }
        if (!extra.empty()) request.extra = nlohmann::ordered_json::parse(extra);
        return request;
      };
  py::class_<host::Conversation>(m, "Conversation")
      .def(py::init<>())
      .def_property_readonly("exchanges", &host::Conversation::exchanges)
      .def("__len__", [](const host::Conversation& c) { return c.turns().size(); })
      .def(
          "to_json",
          [](const host::Conversation& c, const std::optional<std::string>& image_dir,
             const std::string& relative_to) {
            std::optional<std::filesystem::path> dir;
            if (image_dir) dir = *image_dir;
            return to_python(c.to_json(dir, relative_to));
          },
          py::arg("image_dir") = py::none(), py::arg("relative_to") = "")
      .def_static(
          "from_json",
          [](const py::object& document, const std::string& base_dir) {
            // A document as to_json gives it (a dict), or its JSON text.
            const std::string text =
                py::isinstance<py::str>(document)
                    ? document.cast<std::string>()
                    : py::module_::import("json").attr("dumps")(document).cast<std::string>();
            const auto parsed = nlohmann::ordered_json::parse(text, nullptr, false);
            if (parsed.is_discarded()) throw py::value_error("the conversation is not JSON");
            try {
              return host::Conversation::from_json(parsed, base_dir);
            } catch (const host::InvalidArgument& e) {
              throw py::value_error(e.what());
            }
          },
          py::arg("document"), py::arg("base_dir") = "");

  py::class_<TavelinaClient>(m, "_TavelinaClient")
      .def(py::init([](std::string base_url, std::string api_key, std::string model_tag,
                       const py::object& logger, const std::string& dialect) {
             image::tavelin::TavelinaOptions options;
             options.model_tag = std::move(model_tag);
             options.logger = logger_of(logger);
             options.dialect = dialect_of(dialect);
             return TavelinaClient(std::move(base_url), std::move(api_key), options);
           }),
           py::arg("base_url"), py::arg("api_key"), py::kw_only(),
           py::arg("model_tag") = image::tavelin::kDefaultModelTag, py::arg("logger") = py::none(),
           py::arg("dialect") = "gateway")
      .def(
          "start",
          [gemini_request](
              const TavelinaClient& client, std::string prompt, std::string aspect_ratio,
              std::string image_size, const py::object& files, std::string model,
              const py::object& task_id, const py::object& model_key, const py::object& timeout,
              std::optional<std::int64_t> seed, std::optional<double> temperature,
              std::vector<std::pair<std::string, std::string>> safety,
              std::optional<std::string> thinking_level, bool text, const std::string& extra,
              bool stream, const py::object& on_progress, bool upload_references) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request = gemini_request(
                std::move(prompt), std::move(aspect_ratio), std::move(image_size), files_of(files),
                std::move(model), seed, temperature, std::move(safety), std::move(thinking_level),
                text, extra, upload_references);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, &out.report,
                                                           stream, on_progress);
            InterruptibleCall::run(
                options, [&] { out.result = client.start(request, options); },
                [&] { return py::cast(out); });
            return out;
          },
          py::arg("prompt"), py::arg("aspect_ratio") = image::tavelin::kDefaultAspectRatio,
          py::arg("image_size") = image::tavelin::kDefaultImageSize, py::arg("files") = py::none(),
          py::arg("model") = image::tavelin::kDefaultModel, py::kw_only(),
          py::arg("task_id") = py::none(), py::arg("model_key") = py::none(),
          py::arg("timeout") = py::none(), py::arg("seed") = py::none(),
          py::arg("temperature") = py::none(),
          py::arg("safety") = std::vector<std::pair<std::string, std::string>>{},
          py::arg("thinking_level") = py::none(), py::arg("text") = false, py::arg("extra") = "",
          py::arg("stream") = false, py::arg("on_progress") = py::none(),
          py::arg("upload_references") = false)
      .def(
          "continue_with",
          [gemini_request](const TavelinaClient& client, host::Conversation& conversation,
                           std::string prompt, std::string aspect_ratio, std::string image_size,
                           const py::object& files, std::string model, const py::object& task_id,
                           const py::object& model_key, const py::object& timeout,
                           bool upload_references) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request =
                gemini_request(std::move(prompt), std::move(aspect_ratio), std::move(image_size),
                               files_of(files), std::move(model), std::nullopt, std::nullopt, {},
                               std::nullopt, false, "", upload_references);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, &out.report,
                                                           false, py::none());
            InterruptibleCall::run(
                options, [&] { out.result = client.continue_with(conversation, request, options); },
                [&] { return py::cast(out); });
            return out;
          },
          py::arg("conversation"), py::arg("prompt"),
          py::arg("aspect_ratio") = image::tavelin::kDefaultAspectRatio,
          py::arg("image_size") = image::tavelin::kDefaultImageSize, py::arg("files") = py::none(),
          py::arg("model") = image::tavelin::kDefaultModel, py::kw_only(),
          py::arg("task_id") = py::none(), py::arg("model_key") = py::none(),
          py::arg("timeout") = py::none(), py::arg("upload_references") = false)
      .def(
          "prepare",
          [gemini_request](const TavelinaClient& client, std::string prompt,
                           std::string aspect_ratio, std::string image_size,
                           const py::object& files, std::string model) {
            const auto request = gemini_request(
                std::move(prompt), std::move(aspect_ratio), std::move(image_size), files_of(files),
                std::move(model), std::nullopt, std::nullopt, {}, std::nullopt, false, "", false);
            return prepared_of([&] { return client.prepare(request); });
          },
          py::arg("prompt"), py::arg("aspect_ratio"), py::arg("image_size"), py::arg("files"),
          py::arg("model"))
      .def(
          "result_of",
          [gemini_request](const TavelinaClient& client, int status_code, const py::bytes& body,
                           std::string prompt, std::string aspect_ratio, std::string image_size,
                           std::string model) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request = gemini_request(
                std::move(prompt), std::move(aspect_ratio), std::move(image_size), {},
                std::move(model), std::nullopt, std::nullopt, {}, std::nullopt, false, "", false);
            host::Bytes bytes = host::to_bytes(std::string_view(body));
            host::CallOptions options;
            options.report = &out.report;
            const py::gil_scoped_release released;
            out.result = client.result_of(request, status_code, std::move(bytes), options);
            return out;
          },
          py::arg("status_code"), py::arg("body"), py::arg("prompt"), py::arg("aspect_ratio"),
          py::arg("image_size"), py::arg("model"))
      .def(
          "_start_async",
          [gemini_request](const TavelinaClient& client, std::string prompt,
                           std::string aspect_ratio, std::string image_size,
                           const py::object& files, std::string model, const py::object& task_id,
                           const py::object& model_key, const py::object& timeout,
                           std::optional<std::int64_t> seed, std::optional<double> temperature,
                           std::vector<std::pair<std::string, std::string>> safety,
                           std::optional<std::string> thinking_level, bool text,
                           const std::string& extra, bool stream, const py::object& on_progress,
                           bool upload_references, py::function done) {
            auto request = gemini_request(
                std::move(prompt), std::move(aspect_ratio), std::move(image_size), files_of(files),
                std::move(model), seed, temperature, std::move(safety), std::move(thinking_level),
                text, extra, upload_references);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, nullptr,
                                                           stream, on_progress);
            return start_detached(
                [&](std::stop_token stop, host::CallReport* report, host::ResultCallback finish) {
                  options.stop = std::move(stop);
                  options.report = report;
                  client.start_async(std::move(request), std::move(options), std::move(finish));
                },
                std::move(done));
          },
          py::arg("prompt"), py::arg("aspect_ratio"), py::arg("image_size"), py::arg("files"),
          py::arg("model"), py::arg("task_id"), py::arg("model_key"), py::arg("timeout"),
          py::arg("seed"), py::arg("temperature"), py::arg("safety"), py::arg("thinking_level"),
          py::arg("text"), py::arg("extra"), py::arg("stream"), py::arg("on_progress"),
          py::arg("upload_references"), py::arg("done"));

  using image::corvane::CorvaneClient;
  // The images members beyond the contract's, checked by the Python layer; `extra` as JSON text.
  const auto images_request =
      [](std::string prompt, std::string aspect_ratio, std::string quality, std::string image_size,
         const py::object& files, const std::optional<std::string>& model, int n,
         std::optional<std::string> output_format, std::optional<int> output_compression,
         std::optional<std::string> background, std::optional<std::string> moderation,
         std::optional<std::string> input_fidelity, const py::object& mask,
         std::optional<std::string> user, std::optional<std::string> complexity,
         std::optional<std::string> safety_identifier, const std::string& extra,
         std::optional<int> partial_images) {
        image::corvane::ImageRequest request{.prompt = std::move(prompt),
                                             .aspect_ratio = std::move(aspect_ratio),
                                             .quality = std::move(quality),
                                             .image_size = std::move(image_size),
                                             .files = files_of(files),
                                             .model = model.value_or(image::corvane::kDefaultModel),
                                             .n = n,
                                             .output_format = std::move(output_format),
                                             .output_compression = output_compression,
                                             .background = std::move(background),
                                             .moderation = std::move(moderation),
                                             .complexity = std::move(complexity),
                                             .input_fidelity = std::move(input_fidelity),
                                             .mask = files_of(mask),
                                             .user = std::move(user),
                                             .safety_identifier = std::move(safety_identifier),
                                             .partial_images = partial_images};
        if (!extra.empty()) request.extra = nlohmann::ordered_json::parse(extra);
        return request;
      };
  py::class_<CorvaneClient>(m, "_CorvaneClient")
      .def(py::init([](std::string base_url, std::string api_key, std::string model_tag,
                       const py::object& logger, const std::string& dialect) {
             image::corvane::CorvaneOptions options;
             options.model_tag = std::move(model_tag);
             options.logger = logger_of(logger);
             options.dialect = dialect_of(dialect);
             return CorvaneClient(std::move(base_url), std::move(api_key), options);
           }),
           py::arg("base_url"), py::arg("api_key"), py::kw_only(),
           py::arg("model_tag") = image::corvane::kDefaultModelTag, py::arg("logger") = py::none(),
           py::arg("dialect") = "gateway")
      .def(
          "start",
          [images_request](
              const CorvaneClient& client, std::string prompt, std::string aspect_ratio,
              std::string quality, std::string image_size, const py::object& files,
              const std::optional<std::string>& model, const py::object& task_id,
              const py::object& model_key, const py::object& timeout, int n,
              std::optional<std::string> output_format, std::optional<int> output_compression,
              std::optional<std::string> background, std::optional<std::string> moderation,
              std::optional<std::string> input_fidelity, py::object mask,
              std::optional<std::string> user, std::optional<std::string> complexity,
              std::optional<std::string> safety_identifier, std::string extra,
              std::optional<int> partial_images, bool stream, const py::object& on_progress) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request = images_request(
                std::move(prompt), std::move(aspect_ratio), std::move(quality),
                std::move(image_size), files, model, n, std::move(output_format),
                output_compression, std::move(background), std::move(moderation),
                std::move(input_fidelity), mask, std::move(user), std::move(complexity),
                std::move(safety_identifier), extra, partial_images);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, &out.report,
                                                           stream, on_progress);
            InterruptibleCall::run(
                options, [&] { out.result = client.start(request, options); },
                [&] { return py::cast(out); });
            return out;
          },
          py::arg("prompt"), py::arg("aspect_ratio") = "", py::arg("quality") = "",
          py::arg("image_size") = "", py::arg("files") = py::none(), py::kw_only(),
          py::arg("model") = py::none(), py::arg("task_id") = py::none(),
          py::arg("model_key") = py::none(), py::arg("timeout") = py::none(), py::arg("n") = 1,
          py::arg("output_format") = py::none(), py::arg("output_compression") = py::none(),
          py::arg("background") = py::none(), py::arg("moderation") = py::none(),
          py::arg("input_fidelity") = py::none(), py::arg("mask") = py::none(),
          py::arg("user") = py::none(), py::arg("complexity") = py::none(),
          py::arg("safety_identifier") = py::none(), py::arg("extra") = "",
          py::arg("partial_images") = py::none(), py::arg("stream") = false,
          py::arg("on_progress") = py::none())
      .def(
          "prepare",
          [images_request](const CorvaneClient& client, std::string prompt,
                           std::string aspect_ratio, std::string quality, std::string image_size,
                           const py::object& files, const std::optional<std::string>& model,
                           int n) {
            const auto request =
                images_request(std::move(prompt), std::move(aspect_ratio), std::move(quality),
                               std::move(image_size), files, model, n, std::nullopt, std::nullopt,
                               std::nullopt, std::nullopt, std::nullopt, py::none(), std::nullopt,
                               std::nullopt, std::nullopt, "", std::nullopt);
            return prepared_of([&] { return client.prepare(request); });
          },
          py::arg("prompt"), py::arg("aspect_ratio"), py::arg("quality"), py::arg("image_size"),
          py::arg("files"), py::arg("model"), py::arg("n"))
      .def(
          "result_of",
          [images_request](const CorvaneClient& client, int status_code, const py::bytes& body,
                           std::string prompt, std::string aspect_ratio, std::string quality,
                           std::string image_size, const std::optional<std::string>& model, int n) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request =
                images_request(std::move(prompt), std::move(aspect_ratio), std::move(quality),
                               std::move(image_size), py::none(), model, n, std::nullopt,
                               std::nullopt, std::nullopt, std::nullopt, std::nullopt, py::none(),
                               std::nullopt, std::nullopt, std::nullopt, "", std::nullopt);
            host::Bytes bytes = host::to_bytes(std::string_view(body));
            host::CallOptions options;
            options.report = &out.report;
            const py::gil_scoped_release released;
            out.result = client.result_of(request, status_code, std::move(bytes), options);
            return out;
          },
          py::arg("status_code"), py::arg("body"), py::arg("prompt"), py::arg("aspect_ratio"),
          py::arg("quality"), py::arg("image_size"), py::arg("model"), py::arg("n"))
      .def(
          "continue_with",
          [images_request](const CorvaneClient& client, host::Conversation& conversation,
                           std::string prompt, std::string aspect_ratio, std::string quality,
                           std::string image_size, const py::object& files,
                           const std::optional<std::string>& model, const py::object& task_id,
                           const py::object& model_key, const py::object& timeout) {
            PyResult out{host::ServiceResult::fail(ErrorCode::SERVICE_BUSY), {}};
            const auto request =
                images_request(std::move(prompt), std::move(aspect_ratio), std::move(quality),
                               std::move(image_size), files, model, 1, std::nullopt, std::nullopt,
                               std::nullopt, std::nullopt, std::nullopt, py::none(), std::nullopt,
                               std::nullopt, std::nullopt, "", std::nullopt);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, &out.report,
                                                           false, py::none());
            InterruptibleCall::run(
                options, [&] { out.result = client.continue_with(conversation, request, options); },
                [&] { return py::cast(out); });
            return out;
          },
          py::arg("conversation"), py::arg("prompt"), py::arg("aspect_ratio") = "",
          py::arg("quality") = "", py::arg("image_size") = "", py::arg("files") = py::none(),
          py::kw_only(), py::arg("model") = py::none(), py::arg("task_id") = py::none(),
          py::arg("model_key") = py::none(), py::arg("timeout") = py::none())
      .def(
          "_start_async",
          [images_request](
              const CorvaneClient& client, std::string prompt, std::string aspect_ratio,
              std::string quality, std::string image_size, const py::object& files,
              const std::optional<std::string>& model, const py::object& task_id,
              const py::object& model_key, const py::object& timeout, int n,
              std::optional<std::string> output_format, std::optional<int> output_compression,
              std::optional<std::string> background, std::optional<std::string> moderation,
              std::optional<std::string> input_fidelity, py::object mask,
              std::optional<std::string> user, std::optional<std::string> complexity,
              std::optional<std::string> safety_identifier, std::string extra,
              std::optional<int> partial_images, bool stream, const py::object& on_progress,
              py::function done) {
            auto request = images_request(
                std::move(prompt), std::move(aspect_ratio), std::move(quality),
                std::move(image_size), files, model, n, std::move(output_format),
                output_compression, std::move(background), std::move(moderation),
                std::move(input_fidelity), mask, std::move(user), std::move(complexity),
                std::move(safety_identifier), extra, partial_images);
            auto options = call_options<host::CallOptions>(task_id, model_key, timeout, nullptr,
                                                           stream, on_progress);
            return start_detached(
                [&](std::stop_token stop, host::CallReport* report, host::ResultCallback finish) {
                  options.stop = std::move(stop);
                  options.report = report;
                  client.start_async(std::move(request), std::move(options), std::move(finish));
                },
                std::move(done));
          },
          py::arg("prompt"), py::arg("aspect_ratio"), py::arg("quality"), py::arg("image_size"),
          py::arg("files"), py::arg("model"), py::arg("task_id"), py::arg("model_key"),
          py::arg("timeout"), py::arg("n"), py::arg("output_format"), py::arg("output_compression"),
          py::arg("background"), py::arg("moderation"), py::arg("input_fidelity"), py::arg("mask"),
          py::arg("user"), py::arg("complexity"), py::arg("safety_identifier"), py::arg("extra"),
          py::arg("partial_images"), py::arg("stream"), py::arg("on_progress"), py::arg("done"));
}
