#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/step_names.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <variant>

#include "zantrel/host/call/batch_transfer.h"
#include "zantrel/host/call/client_entries.h"
#include "zantrel/host/call/job_polling.h"
#include "zantrel/host/call/log_record.h"
#include "zantrel/host/call/model_choice.h"
#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/call/request_entries_impl.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/config.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/images/image_header.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/images/size_calculator.h"
#include "zantrel/host/internal/codec/json_document.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/host/internal/codec/json_text.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/internal/edit_form.h"
#include "zantrel/image/corvane/internal/images_batches.h"
#include "zantrel/image/corvane/internal/images_response.h"
#include "zantrel/image/corvane/internal/images_stream.h"
#include "zantrel/image/corvane/internal/model_checks.h"
#include "zantrel/image/corvane/internal/response_reader.h"
#include "zantrel/image/corvane/internal/responses_body.h"

// Its by-name entries run this client's steps (the table is at the end).
template <>
struct zantrel::host::internal::ClientSteps<zantrel::image::corvane::CorvaneClient>;

namespace zantrel::image::corvane {
namespace {

constexpr std::string_view kImagesPath = "/v1/images";

using json = nlohmann::ordered_json;

constexpr std::string_view kLoggerName = "zantrel.image.corvane";

// The text form of a calculator edge: integers in decimal digits, texts unchanged.
std::string edge_text(const json& calc, const char* key) {
  const auto found = calc.find(key);
  if (found == calc.end()) throw host::KeyError(std::string("size has no \"") + key + "\"");
  if (found->is_string()) return found->get<std::string>();
  return found->dump();
}

// Tokens and the answer's own account of its images, from a 200 body. A body too odd to read
// them from leaves them empty: the report never changes the result.
void read_answer(internal::ImagesResponse& body, host::CallReport& report) {
  try {
    report.usage =
        host::internal::usage_of(body.usage(), "input_tokens", "output_tokens", "total_tokens");
    report.answer = body.answer();
  } catch (const std::exception&) {
    // The facts stay unknown.
  }
}

struct CompletionsRequest {
  std::string url;
  host::PostRequest request;
};

// The one request of a call, its record written: a multipart form to ".../edits" when `files`
// holds parts, else a JSON body to ".../generations". Its parameters keep the order of the
// public _generate_completions.
CompletionsRequest completions_request(const CorvaneClient& self, const json& task_id,
                                       // NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
                                       const json& model_key, const json& payload,
                                       const std::optional<ImageParts>& files,
                                       const host::Timeout& timeout) {
  CompletionsRequest out;
  host::PostRequest& request = out.request;
  request.headers = {{"Authorization", "Bearer " + self.token()}};
  request.timeout = timeout;
  json log_data = host::log_record(self.model_tag() + " request api", task_id, model_key);
  log_data["payload"] = payload;
  if (files && !files->empty()) {
    out.url = self.base_url() + "/edits";
    request.body =
        internal::build_edit_form(payload, *files, self.dialect() == host::Dialect::kDirect);
  } else {
    request.headers.emplace_back("Content-Type", "application/json");
    out.url = self.base_url() + "/generations";
    request.body = host::JsonBody::of(payload.dump(-1, ' ', false, json::error_handler_t::replace));
  }
  log_data["url"] = out.url;
  self.logger()->debug(log_data);
  // Refuse a header that could split the request whatever HTTP client the host installed.
  host::check_headers(request.headers);
  return out;
}

// Of sizes "WxH" (others, "auto" say, are passed over), the one whose ratio is closest to
// `aspect_ratio` ("W:H"), as {"width", "height"}; the first of equally close ones.
json closest_listed_size(const std::vector<std::string>& sizes, const std::string& aspect_ratio) {
  // The calculator checks the ratio's form; its answer gives the ratio asked.
  json any_size = host::GPTImageSizeCalculator::calc_size(aspect_ratio, "1k");
  const double asked = std::log(any_size["width"].get<double>() / any_size["height"].get<double>());
  std::optional<json> best;
  double best_distance = 0;
  for (const std::string& listed : sizes) {
    int width = 0;
    int height = 0;
    if (std::sscanf(listed.c_str(), "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
      continue;
    }
    const double distance = std::abs(std::log(static_cast<double>(width) / height) - asked);
    if (!best || distance < best_distance) {
      best = json{{"width", width}, {"height", height}};
      best_distance = distance;
    }
  }
  if (!best) return any_size;
  return *best;
}

// The image an item offers: base64 decoded, a data link decoded, a web link fetched.
Task<std::optional<host::Bytes>> item_image(const Exchange& exchange, internal::FirstItem item) {
  if (item.kind == internal::FirstItem::Kind::kBase64) {
    co_return host::base64_decode(item.text);
  }
  if (item.kind == internal::FirstItem::Kind::kLink) {
    if (item.text.starts_with("data:image/")) co_return internal::decode_data_link(item.text);
    if (host::is_http_link(item.text)) {
      co_return co_await host::internal::fetch_image(exchange, std::string(item.text));
    }
  }
  co_return std::nullopt;
}

// The model a request names as the catalogue decides it, with the catalogue its entry lives in.
struct ModelAsked {
  std::shared_ptr<const host::ModelCatalogue> catalogue;
  host::ModelChoice choice;
};

ModelAsked model_asked(const CorvaneClient& self, const ImageRequest& request) {
  ModelAsked asked{config::model_catalogue(), {}};
  asked.choice =
      host::internal::choose_model(self, *asked.catalogue, request.model, host::Service::kImages);
  return asked;
}

// The size a request asks for as the endpoint takes it ("WxH"; the ratio as given when it is
// empty or "auto"), with its record. A model with a list of sizes gets the one closest to the
// ratio; the others any size within the calculator's rules.
std::string size_to_send(const CorvaneClient& self, const ImageRequest& request,
                         const host::ModelInfo* info, const host::CallOptions& options) {
  const std::string& aspect_ratio = request.aspect_ratio;
  if (aspect_ratio.empty() || aspect_ratio == "auto") return aspect_ratio;
  const json calc = info != nullptr && !info->sizes.empty()
                        ? closest_listed_size(info->sizes, aspect_ratio)
                        : host::GPTImageSizeCalculator::calc_size(aspect_ratio, request.image_size);
  json size_record = host::log_record(self.model_tag() + " ", options.task_id, options.model_key);
  size_record["aspect_ratio"] = aspect_ratio;
  size_record["calc_dict"] = calc;
  self.logger()->debug(size_record);
  return edge_text(calc, "width") + "x" + edge_text(calc, "height");
}

// The request's members in the order the endpoint reads them. The direct form leaves out what
// the public endpoint refuses: "response_format" for the gpt-image models (they always answer
// base64) and empty values. A request by name writes its extra members too.
// Nothing when an extra member clashes with one the client writes (`refusal` says why).
std::optional<json> payload_of(const CorvaneClient& self, const ImageRequest& request,
                               // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): model, size
                               const std::string& model, const std::string& size, Entry entry,
                               bool stream, std::string& refusal) {
  const bool direct = self.dialect() == host::Dialect::kDirect;
  json payload = json::object();
  payload["model"] = model;
  payload["prompt"] = request.prompt;
  if (!direct || !model.starts_with("gpt-image")) {
    payload["response_format"] = request.response_format.value_or(kDefaultResponseFormat);
  }
  if (!direct || !size.empty()) payload["size"] = size;
  if (!direct || !request.quality.empty()) payload["quality"] = request.quality;
  payload["n"] = request.n;
  const auto put = [&](const char* key, const auto& value) {
    if (value) payload[key] = *value;
  };
  put("output_format", request.output_format);
  put("output_compression", request.output_compression);
  put("background", request.background);
  put("moderation", request.moderation);
  put("complexity", request.complexity);
  put("input_fidelity", request.input_fidelity);
  put("user", request.user);
  put("safety_identifier", request.safety_identifier);
  if (stream) {
    payload["stream"] = true;
    put("partial_images", request.partial_images);
  }
  if (entry == Entry::kByName) {
    if (auto why = internal::extra_refusal(request.extra, payload)) {
      refusal = std::move(*why);
      return std::nullopt;
    }
    for (const auto& member : request.extra.items()) payload[member.key()] = member.value();
  }
  return payload;
}

// The result of a 200 answer without an image, with its record of what came (`text`).
ServiceResult no_image(const CorvaneClient& self, std::string_view text,
                       const host::CallOptions& options) {
  json record = host::log_record(self.model_tag() + " 未收到结果的原始数据", options.task_id,
                                 options.model_key);
  record["data"] = text.empty() ? json() : host::internal::decode_json(text);
  self.logger()->debug(record);
  return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
}

// The result of a 200 answer read as `body` (whose text lies in `buffer`): its first image
// (base64, a data link, or a web link fetched), and the `later` ones beside it. `asked`: what
// the images' ratio is checked against.
Task<ServiceResult> answer_of(const CorvaneClient& self, internal::ImagesResponse& body,
                              host::Bytes& buffer, std::vector<internal::FirstItem> later_items,
                              std::string_view text, const std::string& asked,
                              const host::CallOptions& options, const Exchange& exchange,
                              ReportBuilder& report) {
  const auto record = [&](std::string msg) {
    return host::log_record(std::move(msg), options.task_id, options.model_key);
  };
  if (report.wanted()) read_answer(body, *report.report());
  // The later images first: the first is then decoded into the answer's own buffer.
  std::vector<host::Bytes> later;
  for (const internal::FirstItem& item : later_items) {
    auto image = co_await item_image(exchange, item);
    if (image && !image->empty()) later.push_back(std::move(*image));
  }
  const internal::FirstItem item = body.first_item();
  const auto succeed = [&](host::Bytes image) {
    report.image(image, asked);
    if (later.empty()) return ServiceResult::success(std::move(image));
    for (const host::Bytes& more : later) report.image(more, asked);
    later.insert(later.begin(), std::move(image));
    return ServiceResult::success(std::move(later));
  };
  // An image that decodes to nothing is no image: success is never reported without bytes.
  if (item.kind == internal::FirstItem::Kind::kBase64) {
    // Decoded into the answer's own buffer, which the result then owns.
    host::Bytes decoded = host::base64_decode_in_place(buffer, item.text);
    if (!decoded.empty()) co_return succeed(std::move(decoded));
  }
  if (item.kind == internal::FirstItem::Kind::kLink) {
    if (item.text.starts_with("data:image/")) {
      // A data link without a comma carries no image either.
      auto decoded = internal::decode_data_link(item.text);
      if (decoded && !decoded->empty()) co_return succeed(std::move(*decoded));
    } else if (host::is_http_link(item.text)) {
      const std::string link(item.text);
      json link_record = record(self.model_tag() + " url");
      link_record["url"] = link;
      self.logger()->debug(link_record);
      if (auto fetched = co_await host::internal::fetch_image(exchange, link)) {
        co_return succeed(std::move(*fetched));
      }
    } else {
      co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
    }
  }
  co_return no_image(self, text, options);
}

// The result of an error answer (`text`, with its status) or of a streamed answer's error
// event: the service's message, with its record.
ServiceResult error_answer(const CorvaneClient& self, std::string_view text, int status_code,
                           const host::CallOptions& options, ReportBuilder& report) {
  const auto error = host::internal::read_error_body(text, status_code);
  if (error.error_dict) report.service_error(*error.error_dict, {"type", "code", "param"});
  json failed_record =
      host::log_record(self.model_tag() + " response failed", options.task_id, options.model_key);
  failed_record["status_code"] = status_code;
  failed_record["error_dict"] = error.error_dict ? *error.error_dict : json();
  self.logger()->debug(failed_record);
  return ServiceResult::fail(ErrorCode::IMAGE_GENERATE_FAIL, error.message);
}

// The result of a streamed 200 answer once its last event is read: as the same answer
// unstreamed, from its completed events (one per image), or its error event.
Task<ServiceResult> streamed_answer_of(const CorvaneClient& self, host::HttpResponse& response,
                                       host::internal::AnswerStream& stream,
                                       internal::ImagesStream& events, const std::string& asked,
                                       const host::CallOptions& options, const Exchange& exchange,
                                       ReportBuilder& report) {
  stream.finish(response);
  if (!events.error().is_null()) {
    co_return error_answer(self, events.error().dump(), response.status_code, options, report);
  }
  auto& completed = events.completed();
  if (completed.empty()) co_return no_image(self, {}, options);
  // Every document stays while the items that view into it are read.
  std::deque<internal::ImagesResponse> later_events;
  std::vector<internal::FirstItem> later;
  for (std::size_t i = 1; i < completed.size(); ++i) {
    auto& event = later_events.emplace_back(completed[i].text, completed[i].readable);
    const internal::FirstItem item = event.first_item();
    if (item.kind != internal::FirstItem::Kind::kNone) later.push_back(item);
  }
  internal::ImagesResponse first(completed[0].text, completed[0].readable);
  co_return co_await answer_of(self, first, completed[0].buffer, std::move(later),
                               completed[0].text, asked, options, exchange, report);
}

// The result of an answer held whole: an error answer's message, else the 200 body's images
// (`asked`: what their ratio is checked against). The same for an exchange's response and for
// an answer a host obtained elsewhere.
Task<ServiceResult> whole_answer_steps(const CorvaneClient& self, const ImageRequest& request,
                                       const std::string& asked, host::HttpResponse& response,
                                       const host::CallOptions& options, const Exchange& exchange,
                                       ReportBuilder& report) {
  if (response.status_code != 200) {
    co_return error_answer(self, response.text(), response.status_code, options, report);
  }
  internal::ImagesResponse body(response.body);
  std::vector<internal::FirstItem> later;
  if (request.n > 1) later = body.later_items();
  co_return co_await answer_of(self, body, response.body, std::move(later), response.text(), asked,
                               options, exchange, report);
}

// How a failure of the exchange ends: a " warning" record, SERVICE_BUSY without a message.
constexpr host::internal::FailureWording kFailureWording{" warning", false};

// A conversation the Responses API keeps: the response a turn follows (its image edited there,
// not sent again), and the one that answered it.
struct ResponseThread {
  std::optional<std::string> previous;
  std::string answered;
};

// Whether the call goes over the Responses API: asked for, or needed for a job.
bool over_responses(const host::CallOptions& options, const host::JobRef* submitted) {
  const auto* api = std::get_if<host::ImagesApi>(&options.api);
  return submitted != nullptr || options.background ||
         (api != nullptr && *api == host::ImagesApi::responses);
}

std::string response_url(const CorvaneClient& self, std::string_view id = {}) {
  // The client's base URL ends in /v1/images; the Responses API sits beside it.
  std::string url = self.base_url();
  url.resize(url.size() - std::string_view("/images").size());
  url += "/responses";
  if (!id.empty()) url += "/" + std::string(id);
  return url;
}

host::internal::JobWire job_wire(const CorvaneClient& self, const std::string& id) {
  return {response_url(self, id),
          {"Authorization", "Bearer " + self.token()},
          internal::response_status};
}

// The result of a response that has ended: its images as an images answer's would be, or why
// there are none.
ServiceResult response_outcome(const CorvaneClient& self, host::HttpResponse& response,
                               const std::string& asked, const host::CallOptions& options,
                               ReportBuilder& report, ResponseThread* thread) {
  internal::ResponseAnswer answer = internal::read_response(response.body);
  if (thread != nullptr) thread->answered = answer.id;
  if (report.wanted()) {
    host::CallReport& facts = *report.report();
    // The service counts the calling model's tokens only, not the image's: the report's usage
    // stays unknown rather than priced at the image model's rates.
    facts.answer = std::move(answer.answer);
    facts.text = answer.text;
    if (!facts.request_id && !answer.id.empty()) facts.request_id = answer.id;
    if (facts.job) facts.job->state = answer.status.state;
  }
  const host::JobStatus& status = answer.status;
  json ended_record =
      host::log_record(self.model_tag() + " response ended", options.task_id, options.model_key);
  ended_record["id"] = answer.id;
  ended_record["status"] = status.state;
  ended_record["images"] = answer.images.size();
  self.logger()->debug(ended_record);
  if (status.phase == host::JobStatus::Phase::kFailed) {
    return ServiceResult::fail(ErrorCode::IMAGE_GENERATE_FAIL,
                               status.error.empty() ? "the response failed" : status.error);
  }
  if (status.phase != host::JobStatus::Phase::kDone) {
    return ServiceResult::fail(ErrorCode::SERVICE_BUSY, "the response is " + status.state);
  }
  if (answer.images.empty() || answer.images.front().empty()) {
    if (answer.incomplete_reason) {
      return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, *answer.incomplete_reason);
    }
    return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
  }
  for (const host::Bytes& image : answer.images) report.image(image, asked);
  if (answer.images.size() == 1) return ServiceResult::success(std::move(answer.images.front()));
  return ServiceResult::success(std::move(answer.images));
}

// Waits for a response run in the background and reads it once it has ended.
Task<ServiceResult> collect_response(const CorvaneClient& self, const host::JobRef& job,
                                     const std::string& asked, const host::CallOptions& options,
                                     const Exchange& exchange, ReportBuilder& report,
                                     bool submitted_here, ResponseThread* thread = nullptr) {
  host::JobReport noted{job.id, submitted_here, 0, {}};
  // Named first: GCC can't hold temporaries of a braced list across the wait.
  host::internal::JobWire wire = job_wire(self, job.id);
  const host::Timeout timeout = host::effective_timeout(options.timeout, exchange.client());
  host::HttpResponse response =
      co_await host::internal::poll_job(exchange, std::move(wire), timeout, options.polling, noted);
  if (report.wanted()) {
    report.report()->job = std::move(noted);
    report.polled(response);
  }
  if (response.status_code != 200) {
    co_return error_answer(self, response.text(), response.status_code, options, report);
  }
  co_return response_outcome(self, response, asked, options, report, thread);
}

// The call as a Responses create: answered whole, or, in the background, as a job that is then
// waited for (or only noted in `*submitted`, for a submit).
Task<ServiceResult> response_steps(const CorvaneClient& self, const ImageRequest& request,
                                   const json& payload, const std::optional<ImageParts>& files,
                                   const std::string& asked, const host::CallOptions& options,
                                   const Exchange& exchange, ReportBuilder& report,
                                   host::JobRef* submitted, ResponseThread* thread) {
  if (options.stream) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "a Responses call is not streamed here: leave stream off");
  }
  if (auto why = internal::responses_refusal(payload)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
  }
  std::vector<host::ByteView> references;
  std::optional<host::ByteView> mask;
  for (const ImagePart& part : files.value_or(ImageParts{})) {
    if (part.first == "mask") {
      mask = part.second;
    } else {
      references.push_back(part.second);
    }
  }
  // n > 1 is that many jobs, all submitted before any is waited for, so that they run at once.
  const int count = std::max(1, payload.value("n", 1));
  if (count > 1 && (submitted != nullptr || thread != nullptr)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "n > 1 over the Responses API is that many jobs: a submit or a "
                                  "conversation's turn takes one image");
  }
  const bool background = submitted != nullptr || options.background || count > 1;
  host::PostRequest post;
  const std::optional<std::string_view> previous =
      thread != nullptr && thread->previous ? std::optional<std::string_view>(*thread->previous)
                                            : std::nullopt;
  post.body = internal::responses_body(payload, references, mask,
                                       {request.responses_model, background, previous});
  post.headers = {{"Authorization", "Bearer " + self.token()},
                  {"Content-Type", "application/json"}};
  post.timeout = host::effective_timeout(options.timeout, exchange.client());
  const std::string url = response_url(self);
  json request_record =
      host::log_record(self.model_tag() + " request api", options.task_id, options.model_key);
  request_record["url"] = url;
  request_record["model"] = payload.value("model", "");
  request_record["responses_model"] = request.responses_model;
  request_record["background"] = background;
  request_record["jobs"] = background ? count : 0;
  self.logger()->debug(request_record);
  host::check_headers(post.headers);
  const std::string digest =
      background ? host::sha256_hex(std::get<host::StreamedBody>(post.body)) : std::string();
  std::vector<host::JobRef> jobs;
  for (int made = 0; made < count; ++made) {
    host::HttpResponse response = co_await host::internal::send_request(
        exchange, url, post, options.retry.value_or(self.retry_policy()), report,
        {*self.logger(), self.model_tag(), options.task_id, options.model_key});
    // A refusal after some jobs were made ends the submitting; those made are still collected.
    if (response.status_code != 200) {
      if (!jobs.empty()) break;
      co_return error_answer(self, response.text(), response.status_code, options, report);
    }
    if (!background) co_return response_outcome(self, response, asked, options, report, thread);
    host::JobRef job = host::internal::job_named(
        host::Service::kImages, host::internal::top_level_text(response.text(), "id"),
        payload.value("model", ""), digest);
    if (job.id.empty()) {
      if (!jobs.empty()) break;
      // Taken, but named by nothing this client can wait for: it may run, and be paid for.
      co_return ServiceResult::fail(ErrorCode::SERVICE_BUSY,
                                    "the service took the job but named no id for it");
    }
    json job_record =
        host::log_record(self.model_tag() + " job submitted", options.task_id, options.model_key);
    job_record["id"] = job.id;
    self.logger()->debug(job_record);
    if (report.wanted()) {
      report.report()->job =
          host::JobReport{job.id, true, 0, internal::response_status(response.text()).state};
    }
    jobs.push_back(std::move(job));
  }
  if (submitted != nullptr) {
    *submitted = jobs.front();
    co_return ServiceResult::success(std::string(jobs.front().id));
  }
  if (jobs.size() == 1) {
    co_return co_await collect_response(self, jobs.front(), asked, options, exchange, report, true,
                                        thread);
  }
  // Each job's image in the order submitted; a job that failed gives none.
  std::vector<host::Bytes> images;
  std::optional<ServiceResult> failed;
  for (const host::JobRef& job : jobs) {
    ServiceResult one =
        co_await collect_response(self, job, asked, options, exchange, report, true);
    if (!one.ok()) {
      if (!failed) failed = std::move(one);
      continue;
    }
    images.push_back(one.take_bytes());
    for (host::Bytes& more : one.take_more_images()) images.push_back(std::move(more));
  }
  if (images.empty()) co_return std::move(*failed);
  if (images.size() == 1) co_return ServiceResult::success(std::move(images.front()));
  co_return ServiceResult::success(std::move(images));
}

std::optional<ServiceResult> api_refusal(const host::CallOptions& options) {
  if (std::holds_alternative<host::GeminiApi>(options.api)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                               "options.api names a Gemini API form; this client takes ImagesApi");
  }
  return std::nullopt;
}

// The steps of one images call, shared by the blocking and non-blocking entries. `request`
// gives the prompt, sizes, model and members (its files are already in `files`); `entry`: by
// name, its members and extra are written.
Task<ServiceResult> send_steps(const CorvaneClient& self, const ImageRequest& request,
                               const std::optional<ImageParts>& files,
                               const host::CallOptions& options, const Exchange& exchange,
                               ReportBuilder& report, Entry entry, host::JobRef* submitted,
                               ResponseThread* thread) {
  if (auto refused = api_refusal(options)) co_return std::move(*refused);
  const json& task_id = options.task_id;
  const json& model_key = options.model_key;
  const std::string& tag = self.model_tag();
  host::Logger& logger = *self.logger();
  const auto start = Clock::now();
  const ModelAsked model = model_asked(self, request);
  const std::string size = size_to_send(self, request, model.choice.checked, options);
  std::string refusal;
  const std::optional<json> payload =
      payload_of(self, request, model.choice.sent, size, entry, options.stream, refusal);
  if (!payload) co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(refusal));
  host::internal::record_model_choice(self, request.model, model.choice, options, report);
  if (over_responses(options, submitted)) {
    const std::string& asked = payload->contains("size") ? size : request.aspect_ratio;
    co_return co_await response_steps(self, request, *payload, files, asked, options, exchange,
                                      report, submitted, thread);
  }

  auto [url, post] =
      completions_request(self, task_id, model_key, *payload, files,
                          host::effective_timeout(options.timeout, exchange.client()));
  // A streamed answer's events are read as they arrive.
  std::optional<internal::ImagesStream> events;
  std::optional<host::internal::AnswerStream> stream;
  if (options.stream) {
    events.emplace(request.partial_images);
    stream.emplace(*events, exchange.progress(), report);
    post.receiver = &*stream;
  }
  host::HttpResponse response = co_await host::internal::send_request(
      exchange, url, post, options.retry.value_or(self.retry_policy()), report,
      {logger, tag, task_id, model_key});
  json response_record = host::log_record(tag + " api complete", task_id, model_key);
  response_record["status_code"] = response.status_code;
  response_record["total_second"] =
      host::round_seconds(std::chrono::duration<double>(Clock::now() - start).count());
  logger.debug(response_record);

  // What the image's ratio is checked against: the size sent, unless none was.
  const std::string& asked = payload->contains("size") ? size : request.aspect_ratio;
  if (response.status_code != 200 || !stream || !stream->holds_events(response)) {
    co_return co_await whole_answer_steps(self, request, asked, response, options, exchange,
                                          report);
  }
  co_return co_await streamed_answer_of(self, response, *stream, *events, asked, options, exchange,
                                        report);
}

// The same with a failure of the exchange or of reading the answer ended as failure_result says.
Task<ServiceResult> generate_steps(const CorvaneClient& self, const ImageRequest& request,
                                   const std::optional<ImageParts>& files,
                                   const host::CallOptions& options, const Exchange& exchange,
                                   ReportBuilder& report, Entry entry,
                                   host::JobRef* submitted = nullptr,
                                   ResponseThread* thread = nullptr) {
  return host::internal::contained(
      self, options, report,
      send_steps(self, request, files, options, exchange, report, entry, submitted, thread),
      &kFailureWording);
}

// An answer obtained elsewhere, read as an exchange's would be.
Task<ServiceResult> answered_steps(const CorvaneClient& self, const ImageRequest& request,
                                   host::HttpResponse& response, const host::CallOptions& options,
                                   const Exchange& exchange, ReportBuilder& report) {
  report.answered(response);
  const ModelAsked model = model_asked(self, request);
  host::internal::report_model_choice(model.choice, report);
  const std::string size = size_to_send(self, request, model.choice.checked, options);
  std::string refusal;
  const auto payload =
      payload_of(self, request, model.choice.sent, size, Entry::kByName, false, refusal);
  const std::string& asked = payload && payload->contains("size") ? size : request.aspect_ratio;
  co_return co_await whole_answer_steps(self, request, asked, response, options, exchange, report);
}

// A request's parts once its members are checked: the references as "image" parts and its mask
// as the "mask" part (links fetched as the call's exchanges; none for a generation), or why it
// can't go.
using PartsOrRefusal = std::variant<std::optional<ImageParts>, ServiceResult>;
Task<PartsOrRefusal> request_parts(const CorvaneClient& self, const ImageRequest& request,
                                   bool stream, const Exchange& exchange, Entry entry) {
  // The service would be sent a prompt other than the caller's (or refuse the body).
  if (auto at = host::first_invalid_utf8(request.prompt)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "prompt is not valid UTF-8 (byte " + std::to_string(*at) + ")");
  }
  if (entry == Entry::kByName) {
    const ModelAsked model = model_asked(self, request);
    const bool unchecked =
        model.choice.checked == nullptr && self.dialect() == host::Dialect::kDirect;
    if (auto refusal = internal::parameter_refusal(
            model.choice.checked, request, host::has_references(request.files), unchecked)) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*refusal));
    }
    if (request.partial_images && !stream) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                    "partial_images needs a streamed call (stream)");
    }
  }
  // A request by name refuses a reference that does not load; the positional entry leaves it
  // out, as its contract says.
  std::string refused;
  std::vector<host::Bytes> references = co_await host::internal::gather_references(
      request.files, exchange, entry == Entry::kByName ? &refused : nullptr);
  if (!refused.empty()) co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, refused);
  std::optional<ImageParts> parts;
  if (!references.empty()) {
    parts.emplace();
    parts->reserve(references.size() + 1);
    for (host::Bytes& image : references) parts->emplace_back("image", std::move(image));
  }
  // Members of edits must not silently go to a generation when no reference gave an image (an
  // empty byte string).
  const bool edit_members = host::has_references(request.mask) || request.input_fidelity;
  if (entry == Entry::kByName && edit_members && !parts) {
    co_return ServiceResult::fail(
        ErrorCode::INVALID_PARAMS,
        std::string(host::has_references(request.mask) ? "mask" : "input_fidelity") +
            " is for edits: none of the reference images could be loaded");
  }
  if (parts && host::has_references(request.mask)) {
    std::vector<host::Bytes> mask =
        co_await host::internal::gather_references(request.mask, exchange, &refused);
    if (!refused.empty()) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "mask: " + refused);
    }
    if (mask.size() != 1) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "mask must be one image");
    }
    if (auto refusal = internal::mask_refusal(mask.front(),
                                              host::read_image_dimensions(parts->front().second))) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*refusal));
    }
    parts->emplace_back("mask", std::move(mask.front()));
  }
  co_return std::move(parts);
}

// The public entry's steps: the request's parts, then the generation.
Task<ServiceResult> start_steps(const CorvaneClient& self, const ImageRequest& request,
                                const host::CallOptions& options, const Exchange& exchange,
                                ReportBuilder& report, Entry entry,
                                host::JobRef* submitted = nullptr,
                                ResponseThread* thread = nullptr) {
  PartsOrRefusal parts = co_await request_parts(self, request, options.stream, exchange, entry);
  if (auto* refused = std::get_if<ServiceResult>(&parts)) co_return std::move(*refused);
  co_return co_await generate_steps(self, request, std::get<std::optional<ImageParts>>(parts),
                                    options, exchange, report, entry, submitted, thread);
}

// The entries' steps: a request by name started (the table wants this exact shape), submitted
// as a job, a job collected, a job's state asked or its cancelling.
Task<ServiceResult> named_start_steps(const CorvaneClient& self, const ImageRequest& request,
                                      const host::CallOptions& options, const Exchange& exchange,
                                      ReportBuilder& report, Entry entry) {
  return start_steps(self, request, options, exchange, report, entry);
}

Task<ServiceResult> submit_steps(const CorvaneClient& self, const ImageRequest& request,
                                 const host::CallOptions& options, const Exchange& exchange,
                                 ReportBuilder& report, host::JobRef* submitted) {
  return start_steps(self, request, options, exchange, report, Entry::kByName, submitted);
}

Task<ServiceResult> collect_steps(const CorvaneClient& self, const host::JobRef& job,
                                  const host::CallOptions& options, const Exchange& exchange,
                                  ReportBuilder& report) {
  if (auto why = host::internal::job_refusal(job, host::Service::kImages)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
  }
  host::internal::report_model_choice(
      host::internal::choose_model(self, *config::model_catalogue(), job.model,
                                   host::Service::kImages),
      report);
  const std::string none_asked;
  co_return co_await collect_response(self, job, none_asked, options, exchange, report, false);
}

Task<host::JobStatus> job_state_steps(const CorvaneClient& self, const host::JobRef& job,
                                      bool cancel, const host::CallOptions& options,
                                      const Exchange& exchange) {
  if (auto why = host::internal::job_refusal(job, host::Service::kImages)) {
    throw host::InvalidArgument(*why);
  }
  return host::internal::job_state(exchange, job_wire(self, job.id),
                                   host::effective_timeout(options.timeout, exchange.client()),
                                   cancel);
}

// The request of a positional call: its parameters, and the model and response format from
// its options.
ImageRequest positional_request(std::string prompt, std::string aspect_ratio, std::string quality,
                                std::string image_size, host::Files files,
                                const ImageCallOptions& options) {
  return ImageRequest{.prompt = std::move(prompt),
                      .aspect_ratio = std::move(aspect_ratio),
                      .quality = std::move(quality),
                      .image_size = std::move(image_size),
                      .files = std::move(files),
                      .model = options.model.value_or(kDefaultModel),
                      .response_format = options.response_format};
}

// The next turn of `conversation`: an edit of the last image the model answered (the first
// "image" part), then the request's own references. When the call ends well, both new turns
// are added.
Task<ServiceResult> continue_steps(const CorvaneClient& self, host::Conversation& conversation,
                                   const ImageRequest& request, const host::CallOptions& options,
                                   const Exchange& exchange, ReportBuilder& report) {
  if (report.wanted()) report.report()->turn = static_cast<int>(conversation.exchanges()) + 1;
  std::string refused;
  std::vector<host::Bytes> given =
      co_await host::internal::gather_references(request.files, exchange, &refused);
  if (!refused.empty()) co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, refused);
  // A conversation the Responses API keeps edits its last image there: it is not sent again.
  const auto& kept = conversation.service_thread();
  ResponseThread thread;
  if (over_responses(options, nullptr) && kept && kept->api == "responses") {
    thread.previous = kept->id;
  }
  const std::shared_ptr<const host::Bytes> previous = conversation.last_model_image();
  ImageRequest edit = request;
  std::vector<host::Reference> files;
  if (previous && !thread.previous) files.emplace_back(*previous);
  for (const host::Bytes& image : given) files.emplace_back(image);
  edit.files = std::move(files);
  ServiceResult result =
      co_await start_steps(self, edit, options, exchange, report, Entry::kByName, nullptr, &thread);
  if (result.ok()) {
    const auto part_of = [](std::shared_ptr<const host::Bytes> image) {
      const std::string mime(host::sniff_image_mime(*image).value_or(""));
      return host::ConversationPart{std::nullopt, std::move(image), mime, std::nullopt,
                                    std::nullopt};
    };
    host::ConversationTurn asked{"user",
                                 {{request.prompt, nullptr, {}, std::nullopt, std::nullopt}}};
    if (previous) asked.parts.push_back(part_of(previous));
    for (host::Bytes& image : given) {
      asked.parts.push_back(part_of(std::make_shared<const host::Bytes>(std::move(image))));
    }
    host::ConversationTurn answered{"model", {}};
    for (const host::ByteView image : result.images()) {
      answered.parts.push_back(
          part_of(std::make_shared<const host::Bytes>(image.begin(), image.end())));
    }
    conversation.add(std::move(asked));
    conversation.add(std::move(answered));
    // Sent again next time unless this turn left the service holding it.
    conversation.set_service_thread(
        thread.answered.empty() ? std::nullopt
                                : std::optional(host::ServiceThread{"responses", thread.answered}));
  }
  co_return result;
}

}  // namespace

host::PreparedRequest CorvaneClient::prepare(const ImageRequest& request) const {
  const Exchange exchange(*http_client(), Exchange::Mode::kBlocking, {});
  PartsOrRefusal parts =
      request_parts(*this, request, false, exchange, Entry::kByName).run_blocking();
  if (auto* refused = std::get_if<ServiceResult>(&parts)) {
    throw host::InvalidArgument(refused->msg().value_or("the request is refused"));
  }
  const std::optional<ImageParts>& images = std::get<std::optional<ImageParts>>(parts);
  const ModelAsked model = model_asked(*this, request);
  const std::string size = size_to_send(*this, request, model.choice.checked, {});
  std::string refusal;
  std::optional<json> payload =
      payload_of(*this, request, model.choice.sent, size, Entry::kByName, false, refusal);
  if (!payload) throw host::InvalidArgument(refusal);
  host::PreparedRequest prepared;
  const bool edit = images && !images->empty();
  prepared.path = edit ? "/v1/images/edits" : "/v1/images/generations";
  if (edit) payload = internal::edit_json_body(std::move(*payload), *images);
  prepared.body = host::to_bytes(payload->dump(-1, ' ', false, json::error_handler_t::replace));
  return prepared;
}

CorvaneClient::CorvaneClient(std::string base_url, std::string api_key, Options options)
    : ServiceClient(kLoggerName, std::move(base_url) + std::string(kImagesPath), std::move(options),
                    std::move(api_key)) {}

host::ServiceBatches CorvaneClient::batches() const {
  // The batch and file endpoints stand beside /v1/images.
  const std::string root = base_url().substr(0, base_url().size() - kImagesPath.size());
  return {internal::images_batches(), http_client(), root, {"Authorization", "Bearer " + token()}};
}

host::HttpResponse CorvaneClient::_generate_completions(
    const json& task_id, const json& model_key, const json& payload,
    const std::optional<ImageParts>& files, const std::optional<host::Timeout>& timeout) const {
  const std::shared_ptr<host::HttpClient> client = http_client();
  auto [url, request] = completions_request(*this, task_id, model_key, payload, files,
                                            host::effective_timeout(timeout, *client));
  return client->post(url, request);
}

ServiceResult CorvaneClient::generate_image(const std::string& prompt,
                                            const std::string& aspect_ratio,
                                            const std::string& quality,
                                            const std::string& image_size,
                                            const std::optional<ImageParts>& files,
                                            const ImageCallOptions& options) const {
  const ImageRequest request =
      positional_request(prompt, aspect_ratio, quality, image_size, {}, options);
  return host::internal::run_blocking(
      *this, options, [&](const Exchange& exchange, ReportBuilder& report) {
        return generate_steps(*this, request, files, options, exchange, report, Entry::kPositional);
      });
}

ServiceResult CorvaneClient::start(const std::string& prompt, const std::string& aspect_ratio,
                                   const std::string& quality, const std::string& image_size,
                                   const host::Files& files,
                                   const ImageCallOptions& options) const {
  return host::internal::start_here(
      *this, positional_request(prompt, aspect_ratio, quality, image_size, files, options), options,
      Entry::kPositional);
}

void CorvaneClient::start_async(std::string prompt, std::string aspect_ratio, std::string quality,
                                std::string image_size, host::Files files, ImageCallOptions options,
                                host::ResultCallback on_done) const {
  ImageRequest request =
      positional_request(std::move(prompt), std::move(aspect_ratio), std::move(quality),
                         std::move(image_size), std::move(files), options);
  host::internal::start_detached(*this, std::move(request), std::move(options), Entry::kPositional,
                                 std::move(on_done));
}

std::future<ServiceResult> CorvaneClient::start_async(std::string prompt, std::string aspect_ratio,
                                                      std::string quality, std::string image_size,
                                                      host::Files files,
                                                      ImageCallOptions options) const {
  return host::internal::future_of([&](host::ResultCallback done) {
    start_async(std::move(prompt), std::move(aspect_ratio), std::move(quality),
                std::move(image_size), std::move(files), std::move(options), std::move(done));
  });
}

}  // namespace zantrel::image::corvane

// The by-name entries over this client's steps.
template <>
struct zantrel::host::internal::ClientSteps<zantrel::image::corvane::CorvaneClient> {
  static constexpr StepTable<image::corvane::CorvaneClient, image::corvane::ImageRequest> table{
      image::corvane::named_start_steps, image::corvane::continue_steps,
      image::corvane::answered_steps,    image::corvane::kFailureWording,
      image::corvane::submit_steps,      image::corvane::collect_steps,
      image::corvane::job_state_steps};
};
template class zantrel::host::RequestEntries<zantrel::image::corvane::CorvaneClient,
                                             zantrel::image::corvane::ImageRequest>;
