#include "zantrel/image/tavelin/tavelina_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>

#include "zantrel/host/call/call_steps.h"
#include "zantrel/host/call/log_record.h"
#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/errors.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/internal/codec/base64.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"
#include "zantrel/image/tavelin/internal/model_checks.h"

namespace zantrel::image::tavelin {
namespace {

using host::ErrorCode;
using host::ServiceResult;
using Clock = std::chrono::steady_clock;
using host::internal::Exchange;
using host::internal::ReportBuilder;
using host::internal::Task;

constexpr std::string_view kLoggerName = "zantrel.image.tavelin";

std::optional<std::string> upper_size(const std::optional<std::string>& image_size) {
  if (!image_size || image_size->empty()) return image_size;
  std::string upper = *image_size;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// Usage, model version, request id and reasons of a 200 body. A body too odd to read them from
// leaves them empty: the report never changes the result.
void read_report_facts(internal::GeminiResponse& body, host::CallReport& report) {
  try {
    auto facts = body.report_facts();
    report.usage = host::internal::usage_of(std::move(facts.usage), "promptTokenCount",
                                            "candidatesTokenCount", "totalTokenCount");
    report.model_version = std::move(facts.model_version);
    if (!report.request_id) report.request_id = std::move(facts.response_id);
    report.block_reason = std::move(facts.block_reason);
    report.finish_reason = std::move(facts.finish_reason);
    report.text = std::move(facts.text);
  } catch (const std::exception&) {
    // Facts stay unknown.
  }
}

double seconds_since(Clock::time_point start) {
  return host::round_seconds(std::chrono::duration<double>(Clock::now() - start).count());
}

// The steps of one generateContent call, shared by the blocking and non-blocking entries.
Task<ServiceResult> generate_steps(const TavelinaClient& self, const std::string& prompt,
                                   const std::optional<std::vector<host::Bytes>>& image_bytes_list,
                                   const config::AspectRatio& aspect_ratio,
                                   const std::optional<std::string>& image_size,
                                   const config::GeminiModel& model,
                                   const host::CallOptions& options, const Exchange& exchange,
                                   ReportBuilder& report, const GenerationRequest* more = nullptr) {
  const auto catalogue = config::model_catalogue();
  const host::ModelInfo* info = catalogue->find(model, host::Service::kGemini);
  if (info == nullptr) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid model: " + model);
  }
  if (!config::is_supported_ratio(aspect_ratio)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "Invalid aspect_ratio: " + aspect_ratio);
  }
  const std::optional<std::string> size = upper_size(image_size);
  if (auto refusal = internal::ratio_or_size_refusal(*info, aspect_ratio, size)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*refusal));
  }
  const bool gateway = self.dialect() == host::Dialect::kGateway;
  if (more != nullptr) {
    if (auto refusal = internal::parameter_refusal(*info, *more, gateway)) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*refusal));
    }
  }
  const auto& task_id = options.task_id;
  const auto& model_key = options.model_key;
  const std::string& tag = self.model_tag();
  host::Logger& logger = *self.logger();
  const auto record = [&](std::string msg) {
    return host::log_record(std::move(msg), task_id, model_key);
  };
  const host::Timeout timeout = host::effective_timeout(options.timeout, exchange.client());
  const bool direct = self.dialect() == host::Dialect::kDirect;
  // The public endpoint no longer serves a retired model: the direct form names its
  // replacement. A gateway may still route the old name, so its form sends the name as given.
  const bool replaced = direct && info->retired();
  const std::string& model_sent = replaced ? info->replacement : model;
  if (report.wanted()) {
    report.report()->model_sent = model_sent;
    if (replaced) {
      report.report()->model_note =
          model + " was retired on " + *info->retired_on + "; sent as " + model_sent;
    }
  }
  if (replaced) {
    auto replaced_record = record(tag + " model replaced");
    replaced_record["model_name"] = model;
    replaced_record["model_sent"] = model_sent;
    replaced_record["retired_on"] = *info->retired_on;
    logger.debug(replaced_record);
  }
  // A model that takes no size is sent none by the direct form.
  const bool sized = !direct || !info->image_sizes.empty();

  std::exception_ptr failure;
  try {
    const std::span<const host::Bytes> images =
        image_bytes_list ? std::span<const host::Bytes>(*image_bytes_list)
                         : std::span<const host::Bytes>();
    host::PostRequest request;
    request.body = internal::gemini_body(prompt, images, aspect_ratio,
                                         sized ? view_of(size) : std::nullopt, !direct, more);
    // The public endpoint takes an API key in its own header; a bearer token there means OAuth.
    request.headers = {direct
                           ? host::Headers::value_type{"x-goog-api-key", self.api_key()}
                           : host::Headers::value_type{"Authorization", "Bearer " + self.api_key()},
                       {"Content-Type", "application/json"}};
    request.timeout = timeout;
    const std::string url = self.base_url() + "/v1beta/models/" + model_sent + ":generateContent";

    auto request_record = record(tag + " request api");
    request_record["model_name"] = model;
    request_record["img_count"] = images.size();
    request_record["url"] = url;
    request_record["aspect_ratio"] = aspect_ratio;
    request_record["image_size"] = image_size ? nlohmann::ordered_json(*image_size) : nullptr;
    logger.debug(request_record);

    // Refuse a header that could split the request (a key holding CR or LF, say) whatever HTTP
    // client the host installed.
    host::check_headers(request.headers);
    const auto start = Clock::now();
    host::HttpResponse response = co_await host::internal::send_request(
        exchange, url, request, options.retry.value_or(self.retry_policy()), report,
        {logger, tag, task_id, model_key});

    if (response.status_code != 200) {
      const auto error = host::internal::read_error_body(response.text(), response.status_code);
      if (error.error_dict) report.service_error(*error.error_dict, {"status", "code"});
      auto fail_record = record(tag + " api complete fail");
      fail_record["status_code"] = response.status_code;
      fail_record["second"] = seconds_since(start);
      fail_record["error_dict"] = error.error_dict ? *error.error_dict : nlohmann::ordered_json();
      logger.debug(fail_record);
      co_return ServiceResult::fail(
          response.status_code == 429 ? ErrorCode::SERVICE_BUSY : ErrorCode::IMAGE_GENERATE_FAIL,
          error.message);
    }

    internal::GeminiResponse body(response.body);
    if (report.wanted()) read_report_facts(body, *report.report());
    auto done_record = record(tag + " api complete successfully");
    done_record["second"] = seconds_since(start);
    logger.debug(done_record);

    auto [links, response_id] = body.file_uris();
    if (!links.empty()) {
      auto links_record = record(tag + " api complete result");
      links_record["image_urls"] = links;
      logger.debug(links_record);
      if (auto fetched = co_await host::internal::fetch_image(exchange, links.front())) {
        report.image(*fetched, aspect_ratio);
        co_return ServiceResult::success(std::move(*fetched));
      }
      co_return ServiceResult::success(std::move(links.front()));
    }

    // The image is decoded into the response's own buffer, which the result then owns.
    auto scan = body.largest_inline_image(&response.body);
    if (scan.image) {
      auto chosen_record = record("image_candidates");
      chosen_record["size"] = scan.image->size();
      logger.debug(chosen_record);
      report.image(*scan.image, aspect_ratio);
      co_return ServiceResult::success(std::move(*scan.image));
    }
    const std::string reason = scan.finish_reason.value_or("");
    if (reason == "IMAGE_SAFETY" || reason == "IMAGE_OTHER" || reason == "OTHER") {
      co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-" + reason);
    }
    if (reason == "IMAGE_PROHIBITED_CONTENT" || reason == "PROHIBITED_CONTENT") {
      co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-IMAGE_SAFETY");
    }
    co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
  } catch (...) {
    failure = std::current_exception();
  }
  report.failed(failure);
  if (host::internal::is_timeout(failure)) {
    logger.debug(record("任务处理超时"));
    co_return ServiceResult::fail(ErrorCode::SERVICE_TIMEOUT);
  }
  const std::string name = host::log_failure(logger, tag, " error", failure, task_id, model_key);
  co_return ServiceResult::fail(ErrorCode::SERVICE_BUSY, name + " error");
}

// The public entry's steps: the ratio, the references (links fetched as the call's exchanges),
// then the generation.
Task<ServiceResult> start_steps(const TavelinaClient& self, const std::string& prompt,
                                const config::AspectRatio& aspect_ratio,
                                const std::string& image_size, const host::Files& files,
                                const config::GeminiModel& model, const host::CallOptions& options,
                                const Exchange& exchange, ReportBuilder& report,
                                const GenerationRequest* more = nullptr) {
  if (!config::is_supported_ratio(aspect_ratio)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "Invalid aspect_ratio: " + aspect_ratio);
  }
  std::exception_ptr failure;
  try {
    std::vector<host::Bytes> references =
        co_await host::internal::gather_references(files, exchange);
    std::optional<std::vector<host::Bytes>> image_bytes_list;
    if (!references.empty()) image_bytes_list = std::move(references);
    co_return co_await generate_steps(self, prompt, image_bytes_list, aspect_ratio, image_size,
                                      model, options, exchange, report, more);
  } catch (...) {
    failure = std::current_exception();
  }
  co_return host::internal::start_failure(failure, *self.logger(), self.model_tag(), options,
                                          report);
}

// A non-blocking call owns copies of everything its steps refer to.
Task<ServiceResult> start_owned(TavelinaClient self, GenerationRequest request,
                                host::CallOptions options) {
  const auto http = self.http_client();
  const GenerationRequest& r = request;
  co_return co_await host::internal::run_call(*http, Exchange::Mode::kNonBlocking, options,
                                              [&](const Exchange& exchange, ReportBuilder& report) {
                                                return start_steps(self, r.prompt, r.aspect_ratio,
                                                                   r.image_size, r.files, r.model,
                                                                   options, exchange, report, &r);
                                              });
}

}  // namespace

TavelinaClient::TavelinaClient(std::string base_url, std::string api_key, Options options)
    : base_url_(std::move(base_url)),
      api_key_(std::move(api_key)),
      model_tag_(std::move(options.model_tag)),
      logger_(options.logger ? std::move(options.logger) : host::get_logger(kLoggerName)),
      http_client_(std::move(options.http_client)),
      dialect_(options.dialect),
      retry_(options.retry) {}

std::shared_ptr<host::HttpClient> TavelinaClient::http_client() const {
  return config::http_client_or_shared(http_client_);
}

std::string TavelinaClient::_detect_mime_type(host::ByteView image_bytes) {
  return std::string(internal::gemini_mime_type(image_bytes));
}

nlohmann::ordered_json TavelinaClient::_bytes_to_part(host::ByteView image_bytes,
                                                      std::string_view mime_type) {
  nlohmann::ordered_json inline_data = nlohmann::ordered_json::object();
  inline_data["mimeType"] = mime_type;
  inline_data["data"] = host::base64_encode(image_bytes);
  return {{"inlineData", std::move(inline_data)}};
}

nlohmann::ordered_json TavelinaClient::_build_parts(
    const std::vector<host::Bytes>& image_bytes_list, const std::string& prompt) const {
  nlohmann::ordered_json parts = nlohmann::ordered_json::array();
  parts.push_back({{"text", prompt}});
  for (const host::Bytes& image : image_bytes_list) {
    parts.push_back(_bytes_to_part(image, _detect_mime_type(image)));
  }
  return parts;
}

nlohmann::ordered_json TavelinaClient::_build_body_data(
    const std::string& prompt, const std::optional<std::vector<host::Bytes>>& image_bytes_list,
    const std::optional<std::string>& aspect_ratio,
    const std::optional<std::string>& image_size) const {
  const std::optional<std::string> size = upper_size(image_size);
  nlohmann::ordered_json content = nlohmann::ordered_json::object();
  content["role"] = "user";
  content["parts"] = _build_parts(image_bytes_list.value_or(std::vector<host::Bytes>{}), prompt);
  nlohmann::ordered_json body = nlohmann::ordered_json::object();
  body["contents"] = nlohmann::ordered_json::array({std::move(content)});
  body["generationConfig"] = {{"responseModalities", {"IMAGE"}}};
  if (dialect_ == host::Dialect::kGateway) body["response_format"] = "url";
  nlohmann::ordered_json image_config = nlohmann::ordered_json::object();
  if (aspect_ratio && !aspect_ratio->empty()) image_config["aspectRatio"] = *aspect_ratio;
  if (size && !size->empty()) image_config["imageSize"] = *size;
  if (!image_config.empty()) body["generationConfig"]["imageConfig"] = std::move(image_config);
  return body;
}

std::pair<std::vector<std::string>, std::optional<std::string>> TavelinaClient::_extract_file_uris(
    const nlohmann::ordered_json& data_dict) {
  // One reader for both forms of a body: the decoded map is read as its JSON text.
  const host::Bytes body = host::to_bytes(data_dict.dump());
  internal::GeminiResponse response(body);
  return response.file_uris();
}

ServiceResult TavelinaClient::generate_image(
    const std::string& prompt, const std::optional<std::vector<host::Bytes>>& image_bytes_list,
    const config::AspectRatio& aspect_ratio, const std::optional<std::string>& image_size,
    const config::GeminiModel& model, const host::CallOptions& options) const {
  const auto http = http_client();
  return host::internal::run_call(*http, Exchange::Mode::kBlocking, options,
                                  [&](const Exchange& exchange, ReportBuilder& report) {
                                    return generate_steps(*this, prompt, image_bytes_list,
                                                          aspect_ratio, image_size, model, options,
                                                          exchange, report);
                                  })
      .run_blocking();
}

ServiceResult TavelinaClient::start(const std::string& prompt,
                                    const config::AspectRatio& aspect_ratio,
                                    const std::string& image_size, const host::Files& files,
                                    const config::GeminiModel& model,
                                    const host::CallOptions& options) const {
  const auto http = http_client();
  return host::internal::run_call(*http, Exchange::Mode::kBlocking, options,
                                  [&](const Exchange& exchange, ReportBuilder& report) {
                                    return start_steps(*this, prompt, aspect_ratio, image_size,
                                                       files, model, options, exchange, report);
                                  })
      .run_blocking();
}

ServiceResult TavelinaClient::start(const GenerationRequest& request,
                                    const host::CallOptions& options) const {
  const auto http = http_client();
  const GenerationRequest& r = request;
  return host::internal::run_call(*http, Exchange::Mode::kBlocking, options,
                                  [&](const Exchange& exchange, ReportBuilder& report) {
                                    return start_steps(*this, r.prompt, r.aspect_ratio,
                                                       r.image_size, r.files, r.model, options,
                                                       exchange, report, &r);
                                  })
      .run_blocking();
}

void TavelinaClient::start_async(std::string prompt, std::string aspect_ratio,
                                 std::string image_size, host::Files files, std::string model,
                                 host::CallOptions options, host::ResultCallback on_done) const {
  start_async(GenerationRequest{.prompt = std::move(prompt),
                                .aspect_ratio = std::move(aspect_ratio),
                                .image_size = std::move(image_size),
                                .files = std::move(files),
                                .model = std::move(model)},
              std::move(options), std::move(on_done));
}

void TavelinaClient::start_async(GenerationRequest request, host::CallOptions options,
                                 host::ResultCallback on_done) const {
  host::internal::run_detached(start_owned(*this, std::move(request), std::move(options)),
                               std::move(on_done));
}

std::future<ServiceResult> TavelinaClient::start_async(GenerationRequest request,
                                                       host::CallOptions options) const {
  auto promise = std::make_shared<std::promise<ServiceResult>>();
  auto future = promise->get_future();
  start_async(std::move(request), std::move(options),
              [promise](ServiceResult result) { promise->set_value(std::move(result)); });
  return future;
}

std::future<ServiceResult> TavelinaClient::start_async(std::string prompt, std::string aspect_ratio,
                                                       std::string image_size, host::Files files,
                                                       std::string model,
                                                       host::CallOptions options) const {
  auto promise = std::make_shared<std::promise<ServiceResult>>();
  auto future = promise->get_future();
  start_async(std::move(prompt), std::move(aspect_ratio), std::move(image_size), std::move(files),
              std::move(model), std::move(options),
              [promise](ServiceResult result) { promise->set_value(std::move(result)); });
  return future;
}

}  // namespace zantrel::image::tavelin
