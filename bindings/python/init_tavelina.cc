#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python/bridge.h"
#include "bindings/python/call_results.h"
#include "bindings/python/interruptible_call.h"
#include "bindings/python/module_parts.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::python {

using host::ErrorCode;

void init_tavelina(py::module_& m) {
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
}

}  // namespace zantrel::python
