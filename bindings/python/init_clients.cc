// Both clients, bound by one template: each entry takes (request, options) and runs the same
// steps for either client.
#include <pybind11/stl.h>

#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <utility>

#include "bindings/python/bridge.h"
#include "bindings/python/call_results.h"
#include "bindings/python/interruptible_call.h"
#include "bindings/python/module_parts.h"
#include "zantrel/host/conversation.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::python {
namespace {

PyResult empty_result() { return {host::ServiceResult::fail(host::ErrorCode::SERVICE_BUSY), {}}; }

// A blocking call with the options Python gave, its report in the result, Ctrl-C cancelling it.
template <class Call>
PyResult run_blocking(const PyCallOptions& given, Call call) {
  PyResult out = empty_result();
  host::CallOptions options = given.options;
  options.report = &out.report;
  InterruptibleCall::run(
      options, [&] { out.result = call(options); }, [&] { return py::cast(out); });
  return out;
}

template <class Client, class ClientOptions, class Request>
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the Python name, then the default tag
py::class_<Client> bind_client(py::module_& m, const char* name, const char* default_model_tag) {
  return py::class_<Client>(m, name)
      // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): named by Python's keywords
      .def(py::init([](std::string base_url, std::string api_key, const std::string& model_tag,
                       const py::object& logger, const std::string& dialect) {
             ClientOptions options;
             options.model_tag = model_tag;
             options.logger = logger_of(logger);
             options.dialect = dialect_of(dialect);
             return Client(std::move(base_url), std::move(api_key), options);
           }),
           py::arg("base_url"), py::arg("api_key"), py::kw_only(),
           py::arg("model_tag") = default_model_tag, py::arg("logger") = py::none(),
           py::arg("dialect") = "gateway")
      .def(
          "start",
          [](const Client& client, const Request& request, const PyCallOptions& given) {
            return run_blocking(given, [&](const host::CallOptions& options) {
              return client.start(request, options);
            });
          },
          py::arg("request"), py::arg("options"))
      .def(
          "continue_with",
          [](const Client& client, host::Conversation& conversation, const Request& request,
             const PyCallOptions& given) {
            return run_blocking(given, [&](const host::CallOptions& options) {
              return client.continue_with(conversation, request, options);
            });
          },
          py::arg("conversation"), py::arg("request"), py::arg("options"))
      .def(
          "prepare",
          [](const Client& client, const Request& request) {
            return prepared_of([&] { return client.prepare(request); });
          },
          py::arg("request"))
      .def(
          "result_of",
          [](const Client& client, const Request& request, int status_code, const py::bytes& body) {
            PyResult out = empty_result();
            host::Bytes bytes = host::to_bytes(std::string_view(body));
            host::CallOptions options;
            options.report = &out.report;
            const py::gil_scoped_release released;
            out.result = client.result_of(request, status_code, std::move(bytes), options);
            return out;
          },
          py::arg("request"), py::arg("status_code"), py::arg("body"))
      .def(
          "_start_async",
          [](const Client& client, Request request, const PyCallOptions& given, py::function done) {
            host::CallOptions options = given.options;
            return start_detached(
                [&](std::stop_token stop, host::CallReport* report, host::ResultCallback finish) {
                  options.stop = std::move(stop);
                  options.report = report;
                  client.start_async(std::move(request), std::move(options), std::move(finish));
                },
                std::move(done));
          },
          py::arg("request"), py::arg("options"), py::arg("done"))
      // Jobs go to and from Python as their text (JobRef::to_text).
      .def(
          "submit",
          [](const Client& client, const Request& request, const PyCallOptions& given) {
            std::optional<std::string> job;
            PyResult out = run_blocking(given, [&](const host::CallOptions& options) {
              host::JobSubmission submitted = client.submit(request, options);
              if (submitted.job) job = submitted.job->to_text();
              return std::move(submitted.result);
            });
            return std::make_pair(job, out);
          },
          py::arg("request"), py::arg("options"))
      .def(
          "collect",
          [](const Client& client, const std::string& job, const PyCallOptions& given) {
            const host::JobRef ref = host::JobRef::from_text(job);
            return run_blocking(given, [&](const host::CallOptions& options) {
              return client.collect(ref, options);
            });
          },
          py::arg("job"), py::arg("options"))
      .def(
          "job_state",
          [](const Client& client, const std::string& job, bool cancel) {
            const host::JobRef ref = host::JobRef::from_text(job);
            const py::gil_scoped_release released;
            const host::JobStatus status = cancel ? client.cancel(ref) : client.job_status(ref);
            return std::make_tuple(std::string(host::to_string(status.phase)), status.state,
                                   status.error);
          },
          py::arg("job"), py::arg("cancel"));
}

}  // namespace

void init_clients(py::module_& m) {
  using image::tavelin::TavelinaClient;
  bind_client<TavelinaClient, image::tavelin::TavelinaOptions, image::tavelin::GenerationRequest>(
      m, "_TavelinaClient", image::tavelin::kDefaultModelTag)
      .def("batches", &TavelinaClient::batches,
           py::arg("inline_limit_bytes") = TavelinaClient::kInlineBatchBytes);
  bind_client<image::corvane::CorvaneClient, image::corvane::CorvaneOptions,
              image::corvane::ImageRequest>(m, "_CorvaneClient", image::corvane::kDefaultModelTag)
      .def("batches", &image::corvane::CorvaneClient::batches);
}

}  // namespace zantrel::python
