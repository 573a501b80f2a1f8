#include "zantrel/image/tavelin/tavelina_client.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>

#include "zantrel/host/errors.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/internal/base64.h"
#include "zantrel/host/internal/json_reading.h"
#include "zantrel/host/internal/log_record.h"
#include "zantrel/host/internal/report_builder.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"

namespace zantrel::image::tavelin {
namespace {

using host::ErrorCode;
using host::ServiceResult;
using Clock = std::chrono::steady_clock;

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
  } catch (const std::exception&) {
    // Facts stay unknown.
  }
}

double seconds_since(Clock::time_point start) {
  return host::round_seconds(std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace

TavelinaClient::TavelinaClient(std::string base_url, std::string api_key, Options options)
    : base_url_(std::move(base_url)),
      api_key_(std::move(api_key)),
      model_tag_(std::move(options.model_tag)),
      logger_(options.logger ? std::move(options.logger) : host::get_logger(kLoggerName)),
      http_client_(std::move(options.http_client)),
      dialect_(options.dialect) {}

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
  host::internal::ReportBuilder report(options.report);
  return generate(prompt, image_bytes_list, aspect_ratio, image_size, model, options, report);
}

ServiceResult TavelinaClient::generate(
    const std::string& prompt, const std::optional<std::vector<host::Bytes>>& image_bytes_list,
    const config::AspectRatio& aspect_ratio, const std::optional<std::string>& image_size,
    const config::GeminiModel& model, const host::CallOptions& options,
    host::internal::ReportBuilder& report) const {
  if (!config::is_supported_model(model)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid model: " + model);
  }
  if (!config::is_supported_ratio(aspect_ratio)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid aspect_ratio: " + aspect_ratio);
  }
  const auto& task_id = options.task_id;
  const auto& model_key = options.model_key;
  const auto record = [&](std::string msg) {
    return host::log_record(std::move(msg), task_id, model_key);
  };
  const std::shared_ptr<host::HttpClient> client = http_client();
  const host::Timeout timeout = host::effective_timeout(options.timeout, *client);

  try {
    const std::span<const host::Bytes> images =
        image_bytes_list ? std::span<const host::Bytes>(*image_bytes_list)
                         : std::span<const host::Bytes>();
    host::PostRequest request;
    request.body =
        internal::gemini_body(prompt, images, aspect_ratio, view_of(upper_size(image_size)),
                              dialect_ == host::Dialect::kGateway);
    // The public endpoint takes an API key in its own header; a bearer token there means OAuth.
    request.headers = {dialect_ == host::Dialect::kDirect
                           ? host::Headers::value_type{"x-goog-api-key", api_key_}
                           : host::Headers::value_type{"Authorization", "Bearer " + api_key_},
                       {"Content-Type", "application/json"}};
    request.timeout = timeout;
    const std::string url = base_url_ + "/v1beta/models/" + model + ":generateContent";

    auto request_record = record(model_tag_ + " request api");
    request_record["model_name"] = model;
    request_record["img_count"] = images.size();
    request_record["url"] = url;
    request_record["aspect_ratio"] = aspect_ratio;
    request_record["image_size"] = image_size ? nlohmann::ordered_json(*image_size) : nullptr;
    logger_->debug(request_record);

    // Refuse a header that could split the request (a key holding CR or LF, say) whatever HTTP
    // client the host installed.
    host::check_headers(request.headers);
    const auto start = Clock::now();
    report.sending();
    host::HttpResponse response = client->post(url, request);
    report.answered(response);

    if (response.status_code != 200) {
      const auto error = host::internal::read_error_body(response.text(), response.status_code);
      if (error.error_dict) report.service_error(*error.error_dict, {"status", "code"});
      auto fail_record = record(model_tag_ + " api complete fail");
      fail_record["status_code"] = response.status_code;
      fail_record["second"] = seconds_since(start);
      fail_record["error_dict"] = error.error_dict ? *error.error_dict : nlohmann::ordered_json();
      logger_->debug(fail_record);
      return ServiceResult::fail(
          response.status_code == 429 ? ErrorCode::SERVICE_BUSY : ErrorCode::IMAGE_GENERATE_FAIL,
          error.message);
    }

    internal::GeminiResponse body(response.body);
    if (report.wanted()) read_report_facts(body, *report.report());
    auto done_record = record(model_tag_ + " api complete successfully");
    done_record["second"] = seconds_since(start);
    logger_->debug(done_record);

    auto [links, response_id] = body.file_uris();
    if (!links.empty()) {
      auto links_record = record(model_tag_ + " api complete result");
      links_record["image_urls"] = links;
      logger_->debug(links_record);
      if (auto fetched = host::ImageTool::get_img_url_io(links.front(), *client)) {
        report.image(*fetched, aspect_ratio);
        return ServiceResult::success(std::move(*fetched));
      }
      return ServiceResult::success(std::move(links.front()));
    }

    // The image is decoded into the response's own buffer, which the result then owns.
    auto scan = body.largest_inline_image(&response.body);
    if (scan.image) {
      auto chosen_record = record("image_candidates");
      chosen_record["size"] = scan.image->size();
      logger_->debug(chosen_record);
      report.image(*scan.image, aspect_ratio);
      return ServiceResult::success(std::move(*scan.image));
    }
    const std::string reason = scan.finish_reason.value_or("");
    if (reason == "IMAGE_SAFETY" || reason == "IMAGE_OTHER" || reason == "OTHER") {
      return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-" + reason);
    }
    if (reason == "IMAGE_PROHIBITED_CONTENT" || reason == "PROHIBITED_CONTENT") {
      return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-IMAGE_SAFETY");
    }
    return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
  } catch (const host::ReadTimeout&) {
    report.failed(std::current_exception());
    logger_->debug(record("任务处理超时"));
    return ServiceResult::fail(ErrorCode::SERVICE_TIMEOUT);
  } catch (...) {
    report.failed(std::current_exception());
    const std::string name = host::log_failure(*logger_, model_tag_, " error",
                                               std::current_exception(), task_id, model_key);
    return ServiceResult::fail(ErrorCode::SERVICE_BUSY, name + " error");
  }
}

ServiceResult TavelinaClient::start(const std::string& prompt,
                                    const config::AspectRatio& aspect_ratio,
                                    const std::string& image_size, const host::Files& files,
                                    const config::GeminiModel& model,
                                    const host::CallOptions& options) const {
  host::internal::ReportBuilder report(options.report);
  if (!config::is_supported_ratio(aspect_ratio)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid aspect_ratio: " + aspect_ratio);
  }
  try {
    std::vector<host::Bytes> references = host::load_references(files, *http_client());
    std::optional<std::vector<host::Bytes>> image_bytes_list;
    if (!references.empty()) image_bytes_list = std::move(references);
    return generate(prompt, image_bytes_list, aspect_ratio, image_size, model, options, report);
  } catch (...) {
    report.failed(std::current_exception());
    host::log_failure(*logger_, model_tag_, " warning", std::current_exception(), options.task_id,
                      options.model_key);
    return ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  }
}

}  // namespace zantrel::image::tavelin
