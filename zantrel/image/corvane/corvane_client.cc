#include "zantrel/image/corvane/corvane_client.h"

#include <chrono>
#include <exception>

#include "zantrel/host/config.h"
#include "zantrel/host/errors.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/internal/base64.h"
#include "zantrel/host/internal/json_reading.h"
#include "zantrel/host/internal/log_record.h"
#include "zantrel/host/internal/report_builder.h"
#include "zantrel/host/size_calculator.h"
#include "zantrel/image/corvane/internal/edit_form.h"
#include "zantrel/image/corvane/internal/images_response.h"

namespace zantrel::image::corvane {
namespace {

using host::ErrorCode;
using host::ServiceResult;
using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kLoggerName = "zantrel.image.corvane";

// The text form of a calculator edge: integers in decimal digits, texts unchanged.
std::string edge_text(const json& calc, const char* key) {
  const auto found = calc.find(key);
  if (found == calc.end()) throw host::KeyError(std::string("size has no \"") + key + "\"");
  if (found->is_string()) return found->get<std::string>();
  return found->dump();
}

// Tokens of a 200 body. A body too odd to read them from leaves them empty: the report never
// changes the result.
void read_usage(internal::ImagesResponse& body, host::CallReport& report) {
  try {
    report.usage =
        host::internal::usage_of(body.usage(), "input_tokens", "output_tokens", "total_tokens");
  } catch (const std::exception&) {
    // Usage stays unknown.
  }
}

}  // namespace

CorvaneClient::CorvaneClient(std::string base_url, std::string api_key, Options options)
    : base_url_(std::move(base_url) + "/v1/images"),
      token_(std::move(api_key)),
      model_tag_(std::move(options.model_tag)),
      logger_(options.logger ? std::move(options.logger) : host::get_logger(kLoggerName)),
      http_client_(std::move(options.http_client)),
      dialect_(options.dialect) {}

std::shared_ptr<host::HttpClient> CorvaneClient::http_client() const {
  return config::http_client_or_shared(http_client_);
}

host::HttpResponse CorvaneClient::_generate_completions(
    const json& task_id, const json& model_key, const json& payload,
    const std::optional<ImageParts>& files, const std::optional<host::Timeout>& timeout) const {
  const std::shared_ptr<host::HttpClient> client = http_client();
  host::PostRequest request;
  request.headers = {{"Authorization", "Bearer " + token_}};
  request.timeout = host::effective_timeout(timeout, *client);
  json log_data = host::log_record(model_tag_ + " request api", task_id, model_key);
  log_data["payload"] = payload;

  std::string url;
  if (files && !files->empty()) {
    url = base_url_ + "/edits";
    request.body = internal::build_edit_form(payload, *files, dialect_ == host::Dialect::kDirect);
  } else {
    request.headers.emplace_back("Content-Type", "application/json");
    url = base_url_ + "/generations";
    request.body = host::JsonBody::of(payload.dump(-1, ' ', false, json::error_handler_t::replace));
  }
  log_data["url"] = url;
  logger_->debug(log_data);
  // Refuse a header that could split the request whatever HTTP client the host installed.
  host::check_headers(request.headers);
  return client->post(url, request);
}

ServiceResult CorvaneClient::generate_image(const std::string& prompt,
                                            const std::string& aspect_ratio,
                                            const std::string& quality,
                                            const std::string& image_size,
                                            const std::optional<ImageParts>& files,
                                            const ImageCallOptions& options) const {
  host::internal::ReportBuilder report(options.report);
  return generate(prompt, aspect_ratio, quality, image_size, files, options, report);
}

ServiceResult CorvaneClient::generate(const std::string& prompt, const std::string& aspect_ratio,
                                      const std::string& quality, const std::string& image_size,
                                      const std::optional<ImageParts>& files,
                                      const ImageCallOptions& options,
                                      host::internal::ReportBuilder& report) const {
  const json& task_id = options.task_id;
  const json& model_key = options.model_key;
  const auto record = [&](std::string msg) {
    return host::log_record(std::move(msg), task_id, model_key);
  };
  try {
    const auto start = Clock::now();
    const std::string model = options.model.value_or(kDefaultModel);
    const std::string response_format = options.response_format.value_or(kDefaultResponseFormat);

    std::string size = aspect_ratio;
    if (!aspect_ratio.empty() && aspect_ratio != "auto") {
      const json calc = host::GPTImageSizeCalculator::calc_size(aspect_ratio, image_size);
      json size_record = record(model_tag_ + " ");
      size_record["aspect_ratio"] = aspect_ratio;
      size_record["calc_dict"] = calc;
      logger_->debug(size_record);
      size = edge_text(calc, "width") + "x" + edge_text(calc, "height");
    }

    // The direct form leaves out what the public endpoint refuses: "response_format" for the
    // gpt-image models (they always answer base64) and empty values.
    const bool direct = dialect_ == host::Dialect::kDirect;
    json payload = json::object();
    payload["model"] = model;
    payload["prompt"] = prompt;
    if (!direct || !model.starts_with("gpt-image")) payload["response_format"] = response_format;
    if (!direct || !size.empty()) payload["size"] = size;
    if (!direct || !quality.empty()) payload["quality"] = quality;
    payload["n"] = 1;

    report.sending();
    host::HttpResponse response =
        _generate_completions(task_id, model_key, payload, files, options.timeout);
    report.answered(response);
    json response_record = record(model_tag_ + " api complete");
    response_record["status_code"] = response.status_code;
    response_record["total_second"] =
        host::round_seconds(std::chrono::duration<double>(Clock::now() - start).count());
    logger_->debug(response_record);

    if (response.status_code != 200) {
      const auto error = host::internal::read_error_body(response.text(), response.status_code);
      if (error.error_dict) report.service_error(*error.error_dict, {"type", "code", "param"});
      json failed_record = record(model_tag_ + " response failed");
      failed_record["status_code"] = response.status_code;
      failed_record["error_dict"] = error.error_dict ? *error.error_dict : json();
      logger_->debug(failed_record);
      return ServiceResult::fail(ErrorCode::IMAGE_GENERATE_FAIL, error.message);
    }

    internal::ImagesResponse body(response.body);
    if (report.wanted()) read_usage(body, *report.report());
    const internal::FirstItem item = body.first_item();
    // What the image's ratio is checked against: the size sent, unless none was.
    const std::string& asked = payload.contains("size") ? size : aspect_ratio;
    const auto succeed = [&](host::Bytes image) {
      report.image(image, asked);
      return ServiceResult::success(std::move(image));
    };
    // An image that decodes to nothing is no image: success is never reported without bytes.
    if (item.kind == internal::FirstItem::Kind::kBase64) {
      // Decoded into the response's own buffer, which the result then owns.
      host::Bytes decoded = host::base64_decode_in_place(response.body, item.text);
      if (!decoded.empty()) return succeed(std::move(decoded));
    }
    if (item.kind == internal::FirstItem::Kind::kLink) {
      if (item.text.starts_with("data:image/")) {
        // A data link without a comma carries no image either.
        auto decoded = internal::decode_data_link(item.text);
        if (decoded && !decoded->empty()) return succeed(std::move(*decoded));
      } else if (host::is_http_link(item.text)) {
        const std::string link(item.text);
        json link_record = record(model_tag_ + " url");
        link_record["url"] = link;
        logger_->debug(link_record);
        if (auto fetched = host::ImageTool::get_img_url_io(link, *http_client())) {
          return succeed(std::move(*fetched));
        }
      } else {
        return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
      }
    }
    json no_image_record = record(model_tag_ + " 未收到结果的原始数据");
    no_image_record["data"] = host::internal::decode_json(response.text());
    logger_->debug(no_image_record);
    return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
  } catch (const host::ReadTimeout&) {
    report.failed(std::current_exception());
    logger_->debug(record("任务处理超时"));
    return ServiceResult::fail(ErrorCode::SERVICE_TIMEOUT);
  } catch (...) {
    report.failed(std::current_exception());
    host::log_failure(*logger_, model_tag_, " warning", std::current_exception(), task_id,
                      model_key);
    return ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  }
}

ServiceResult CorvaneClient::start(const std::string& prompt, const std::string& aspect_ratio,
                                   const std::string& quality, const std::string& image_size,
                                   const host::Files& files,
                                   const ImageCallOptions& options) const {
  host::internal::ReportBuilder report(options.report);
  try {
    std::vector<host::Bytes> references = host::load_references(files, *http_client());
    std::optional<ImageParts> parts;
    if (!references.empty()) {
      parts.emplace();
      parts->reserve(references.size());
      for (host::Bytes& image : references) parts->emplace_back("image", std::move(image));
    }
    return generate(prompt, aspect_ratio, quality, image_size, parts, options, report);
  } catch (...) {
    report.failed(std::current_exception());
    host::log_failure(*logger_, model_tag_, " warning", std::current_exception(), options.task_id,
                      options.model_key);
    return ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  }
}

}  // namespace zantrel::image::corvane
