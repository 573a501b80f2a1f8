// A service's own batch engine and file store (the clients' `batches()`): each call blocks with
// the GIL released, Ctrl-C stops it, and its values come back as plain Python values that the
// package's layer names.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/python/interruptible_call.h"
#include "bindings/python/module_parts.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::python {
namespace {

namespace py = pybind11;

// Runs `call(options)` as every blocking call of the bindings runs.
template <class Call>
auto blocking(Call call) {
  host::CallOptions options;
  decltype(call(options)) value{};
  InterruptibleCall::run(
      options, [&] { value = call(options); }, [] { return py::none(); });
  return value;
}

const char* fate_name(host::CreateFate fate) {
  switch (fate) {
    case host::CreateFate::kMade:
      return "made";
    case host::CreateFate::kRefused:
      return "refused";
    case host::CreateFate::kUnknown:
      break;
  }
  return "unknown";
}

const char* phase_name(host::BatchStatus::Phase phase) {
  switch (phase) {
    case host::BatchStatus::Phase::kDone:
      return "done";
    case host::BatchStatus::Phase::kLeft:
      return "left";
    case host::BatchStatus::Phase::kWaiting:
      break;
  }
  return "waiting";
}

py::dict status_of(const host::BatchStatus& batch) {
  py::dict out;
  out["id"] = batch.id;
  out["name"] = batch.name;
  out["phase"] = phase_name(batch.phase);
  out["state"] = batch.state;
  out["total"] = batch.total;
  out["succeeded"] = batch.succeeded;
  out["failed"] = batch.failed;
  out["created"] =
      batch.created ? py::cast(std::chrono::system_clock::to_time_t(*batch.created)) : py::none();
  out["error"] = batch.error;
  return out;
}

using Line = std::tuple<std::string, std::string, std::string, py::bytes>;
using Answer = std::tuple<std::string, bool, int, py::bytes>;

// A batch's life: its limits, create, get, list, find, cancel.
void bind_batch_calls(py::class_<host::ServiceBatches>& engine) {
  engine.def_property_readonly("max_requests", &host::ServiceBatches::max_requests)
      .def_property_readonly("max_bytes", &host::ServiceBatches::max_bytes)
      .def(
          "create",
          [](const host::ServiceBatches& batches, const std::vector<Line>& given,
             const std::string& name) {
            std::vector<host::BatchLine> lines;
            lines.reserve(given.size());
            for (const auto& [key, path, content_type, body] : given) {
              lines.push_back({key, {path, content_type, host::to_bytes(std::string_view(body))}});
            }
            const host::CreatedBatch created = blocking([&](const host::CallOptions& options) {
              return batches.create(lines, name, options);
            });
            return std::make_tuple(fate_name(created.fate), created.id, created.why);
          },
          py::arg("lines"), py::arg("name"))
      .def(
          "get",
          [](const host::ServiceBatches& batches, const std::string& id) {
            return status_of(blocking(
                [&](const host::CallOptions& options) { return batches.get(id, options); }));
          },
          py::arg("id"))
      .def(
          "list",
          [](const host::ServiceBatches& batches, const std::string& page_token) {
            const host::BatchPage page = blocking([&](const host::CallOptions& options) {
              return batches.list(page_token, options);
            });
            py::list listed;
            for (const host::BatchStatus& batch : page.batches) listed.append(status_of(batch));
            return std::make_tuple(listed, page.next_page);
          },
          py::arg("page_token") = "")
      .def(
          "find",
          [](const host::ServiceBatches& batches, const std::string& name) {
            return blocking(
                [&](const host::CallOptions& options) { return batches.find(name, options); });
          },
          py::arg("name"))
      .def(
          "cancel",
          [](const host::ServiceBatches& batches, const std::string& id) {
            blocking([&](const host::CallOptions& options) {
              batches.cancel(id, options);
              return true;
            });
          },
          py::arg("id"));
}

// The service's kept files, and a done batch's answers.
void bind_file_calls(py::class_<host::ServiceBatches>& engine) {
  engine
      .def(
          "upload_file",
          // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): named by Python's keywords
          [](const host::ServiceBatches& batches, const py::bytes& content,
             const std::string& mime_type, const std::string& display_name) {
            const std::string_view bytes(content);
            const host::UploadedFile file = blocking([&](const host::CallOptions& options) {
              return batches.upload_file(host::as_bytes(bytes), mime_type, display_name, options);
            });
            return std::make_tuple(file.name, file.uri, file.mime_type,
                                   std::chrono::system_clock::to_time_t(file.expires));
          },
          py::arg("content"), py::arg("mime_type"), py::arg("display_name"))
      .def(
          "download_file",
          [](const host::ServiceBatches& batches, const std::string& file,
             const std::filesystem::path& path) {
            blocking([&](const host::CallOptions& options) {
              batches.download_file(file, path, options);
              return true;
            });
          },
          py::arg("file"), py::arg("path"))
      .def(
          "results",
          [](const host::ServiceBatches& batches, const std::string& id,
             const std::filesystem::path& scratch) {
            // Held as C++ values while the GIL is released, made Python values after.
            std::vector<std::tuple<std::string, bool, int, std::string>> answers;
            blocking([&](const host::CallOptions& options) {
              batches.results(
                  id, scratch,
                  [&](const host::BatchAnswer& answer) {
                    answers.emplace_back(answer.key, answer.answered, answer.status, answer.text());
                  },
                  options);
              return true;
            });
            std::vector<Answer> out;
            out.reserve(answers.size());
            for (auto& [key, answered, status, body] : answers) {
              out.emplace_back(std::move(key), answered, status, py::bytes(body));
            }
            return out;
          },
          py::arg("id"), py::arg("scratch"));
}

}  // namespace

void init_batches(py::module_& m) {
  py::register_exception<host::ServiceRefused>(m, "ServiceRefused", PyExc_RuntimeError);
  py::class_<host::ServiceBatches> batches(m, "_ServiceBatches");
  bind_batch_calls(batches);
  bind_file_calls(batches);
}

}  // namespace zantrel::python
