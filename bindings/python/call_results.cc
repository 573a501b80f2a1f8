#include "bindings/python/call_results.h"

#include <pybind11/stl.h>

#include "zantrel/host/result/error_code.h"

namespace zantrel::python {

using json = nlohmann::ordered_json;
using host::ErrorCode;

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

void init_results(py::module_& m) {
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
          "job", [](const host::CallReport& r) { return to_python(host::to_json(r)["job"]); })
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
}

}  // namespace zantrel::python
