#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python/bridge.h"
#include "bindings/python/call_results.h"
#include "bindings/python/interruptible_call.h"
#include "bindings/python/module_parts.h"
#include "zantrel/image/corvane/corvane_client.h"

namespace zantrel::python {

using host::ErrorCode;

void init_corvane(py::module_& m) {
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

}  // namespace zantrel::python
