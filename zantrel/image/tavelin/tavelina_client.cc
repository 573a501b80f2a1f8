#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/image/step_names.h"

#include <algorithm>
#include <cctype>
#include <chrono>
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
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/internal/codec/json_document.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/host/internal/codec/json_text.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/internal/file_upload.h"
#include "zantrel/image/tavelin/internal/gemini_batches.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"
#include "zantrel/image/tavelin/internal/gemini_stream.h"
#include "zantrel/image/tavelin/internal/interaction_reader.h"
#include "zantrel/image/tavelin/internal/interactions_body.h"
#include "zantrel/image/tavelin/internal/model_checks.h"

// Its by-name entries run this client's steps (the table is at the end).
template <>
struct zantrel::host::internal::ClientSteps<zantrel::image::tavelin::TavelinaClient>;

namespace zantrel::image::tavelin {
namespace {

constexpr std::string_view kLoggerName = "zantrel.image.tavelin";

// A conversation's side of a call: the turns sent before the new one, the model's answer as the
// conversation keeps it, and the files its user images went as.
struct TurnContext {
  std::span<const host::ConversationTurn> history;
  host::ConversationTurn answered{"model", {}};
  std::vector<internal::ImageLink> links;
  // Over the Interactions API, the service keeps the turns: the interaction the turn follows
  // (then `history` is empty, nothing is sent again), and the one that answered it.
  std::optional<std::string> previous_id;
  std::optional<std::string> answered_id;
};

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

// Usage, model version, request id and reasons of a 200 answer, into the report.
void take_report_facts(internal::GeminiResponse::ReportFacts facts, host::CallReport& report) {
  report.usage = host::internal::usage_of(std::move(facts.usage), "promptTokenCount",
                                          "candidatesTokenCount", "totalTokenCount");
  report.model_version = std::move(facts.model_version);
  if (!report.request_id) report.request_id = std::move(facts.response_id);
  report.block_reason = std::move(facts.block_reason);
  report.finish_reason = std::move(facts.finish_reason);
  report.text = std::move(facts.text);
}

// The report's facts of a 200 body. A body too odd to read them from leaves them empty: the
// report never changes the result.
void read_report_facts(internal::GeminiResponse& body, host::CallReport& report) {
  try {
    take_report_facts(body.report_facts(), report);
  } catch (const std::exception&) {
    // Facts stay unknown.
  }
}

double seconds_since(Clock::time_point start) {
  return host::round_seconds(std::chrono::duration<double>(Clock::now() - start).count());
}

// Why the call can't go out as asked, before anything is sent: a model the gateway's list lacks,
// a ratio, size or member the model takes not. A model that goes unchecked (`info` nullptr: a
// name the direct dialect sends as given) is asked only what the request itself must hold.
std::optional<ServiceResult> refusal(const TavelinaClient& self, const config::GeminiModel& model,
                                     const config::AspectRatio& aspect_ratio,
                                     const std::optional<std::string>& size,
                                     const GenerationRequest* by_name,
                                     const host::ModelChoice& choice) {
  if (choice.unknown && self.dialect() == host::Dialect::kGateway)
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid model: " + model);
  const bool gateway = self.dialect() == host::Dialect::kGateway;
  const host::ModelInfo* info = choice.checked;
  if (info == nullptr) {
    if (by_name != nullptr) {
      if (auto why = internal::request_refusal(*by_name, gateway)) {
        return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
      }
    }
    return std::nullopt;
  }
  if (!config::is_supported_ratio(aspect_ratio)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid aspect_ratio: " + aspect_ratio);
  }
  if (auto why = internal::ratio_or_size_refusal(*info, aspect_ratio, size)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
  }
  if (by_name != nullptr) {
    if (auto why = internal::parameter_refusal(*info, *by_name, gateway)) {
      return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
    }
  }
  return std::nullopt;
}

// The public endpoint takes an API key in its own header; a bearer token there means OAuth.
host::Headers::value_type key_header(const TavelinaClient& self) {
  return self.dialect() == host::Dialect::kDirect
             ? host::Headers::value_type{"x-goog-api-key", self.api_key()}
             : host::Headers::value_type{"Authorization", "Bearer " + self.api_key()};
}

// What linking the user images took, into the report and one record.
void note_uploads(const TavelinaClient& self, const internal::LinkedImages& linked,
                  const host::CallOptions& options, ReportBuilder& report) {
  if (report.wanted()) {
    report.report()->files_uploaded += linked.uploaded;
    report.report()->file_bytes_uploaded += linked.bytes_uploaded;
    report.report()->upload_resumes += linked.resumes;
  }
  if (linked.uploaded == 0 && linked.resumes == 0) return;
  auto uploaded_record =
      host::log_record(self.model_tag() + " files uploaded", options.task_id, options.model_key);
  uploaded_record["count"] = linked.uploaded;
  uploaded_record["size"] = linked.bytes_uploaded;
  uploaded_record["resumes"] = linked.resumes;
  self.logger()->debug(uploaded_record);
}

// The generateContent request in the client's dialect.
host::PostRequest generate_request(const TavelinaClient& self, const std::string& prompt,
                                   std::span<const host::Bytes> images,
                                   const config::AspectRatio& aspect_ratio,
                                   std::optional<std::string_view> size,
                                   const GenerationRequest* by_name, host::Timeout timeout,
                                   const TurnContext* turn,
                                   std::span<const internal::ImageLink> links) {
  const bool direct = self.dialect() == host::Dialect::kDirect;
  host::PostRequest request;
  request.body = internal::gemini_body(
      prompt, images, aspect_ratio, size, !direct, by_name,
      turn != nullptr ? turn->history : std::span<const host::ConversationTurn>(), links);
  request.headers = {key_header(self), {"Content-Type", "application/json"}};
  request.timeout = timeout;
  return request;
}

// The result of an error answer (`text`, with its status) or of a streamed answer's error
// event: the service's own message (or the status), SERVICE_BUSY for a 429, with its record.
ServiceResult error_answer(const TavelinaClient& self, std::string_view text, int status_code,
                           const host::CallOptions& options, double seconds,
                           ReportBuilder& report) {
  const auto error = host::internal::read_error_body(text, status_code);
  if (error.error_dict) report.service_error(*error.error_dict, {"status", "code"});
  auto fail_record =
      host::log_record(self.model_tag() + " api complete fail", options.task_id, options.model_key);
  fail_record["status_code"] = status_code;
  fail_record["second"] = seconds;
  fail_record["error_dict"] = error.error_dict ? *error.error_dict : nlohmann::ordered_json();
  self.logger()->debug(fail_record);
  return ServiceResult::fail(
      status_code == 429 ? ErrorCode::SERVICE_BUSY : ErrorCode::IMAGE_GENERATE_FAIL, error.message);
}

// What a 200 answer offers, whole or streamed: its file links, else its image, else the reason
// the model gave for none.
struct AnswerOffer {
  std::vector<std::string> links;
  std::optional<host::Bytes> image;
  std::optional<std::string> finish_reason;
};

// The result of a 200 answer: its first file link fetched, else its largest inline image, else
// the reason the model gave for none.
Task<ServiceResult> outcome_of(const TavelinaClient& self, AnswerOffer offer,
                               const config::AspectRatio& aspect_ratio,
                               const host::CallOptions& options, const Exchange& exchange,
                               ReportBuilder& report) {
  host::Logger& logger = *self.logger();
  const std::string& tag = self.model_tag();
  const auto record = [&](std::string msg) {
    return host::log_record(std::move(msg), options.task_id, options.model_key);
  };
  if (!offer.links.empty()) {
    auto links_record = record(tag + " api complete result");
    links_record["image_urls"] = offer.links;
    logger.debug(links_record);
    if (auto fetched = co_await host::internal::fetch_image(exchange, offer.links.front())) {
      report.image(*fetched, aspect_ratio);
      co_return ServiceResult::success(std::move(*fetched));
    }
    co_return ServiceResult::success(std::move(offer.links.front()));
  }
  if (offer.image) {
    auto chosen_record = record("image_candidates");
    chosen_record["size"] = offer.image->size();
    logger.debug(chosen_record);
    report.image(*offer.image, aspect_ratio);
    co_return ServiceResult::success(std::move(*offer.image));
  }
  const std::string reason = offer.finish_reason.value_or("");
  if (reason == "IMAGE_SAFETY" || reason == "IMAGE_OTHER" || reason == "OTHER") {
    co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-" + reason);
  }
  if (reason == "IMAGE_PROHIBITED_CONTENT" || reason == "PROHIBITED_CONTENT") {
    co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT, "Picture prohibition-IMAGE_SAFETY");
  }
  co_return ServiceResult::fail(ErrorCode::NO_IMAGE_RESULT);
}

// The record of a 200 answer read, before its image is looked for.
void note_answer(const TavelinaClient& self, double seconds, const host::CallOptions& options) {
  auto done_record = host::log_record(self.model_tag() + " api complete successfully",
                                      options.task_id, options.model_key);
  done_record["second"] = seconds;
  self.logger()->debug(done_record);
}

// What a 200 body offers. Its image is decoded into the body's own buffer, which the result
// then owns.
// With `turn`, the answer's parts as its conversation keeps them, first.
AnswerOffer offer_of(const TavelinaClient& self, host::HttpResponse& response, double seconds,
                     const host::CallOptions& options, ReportBuilder& report, TurnContext* turn) {
  internal::GeminiResponse body(response.body);
  if (report.wanted()) read_report_facts(body, *report.report());
  note_answer(self, seconds, options);
  if (turn != nullptr) {
    for (auto& part : body.model_parts()) {
      host::ConversationPart kept{std::move(part.text), nullptr, std::move(part.mime_type),
                                  std::move(part.thought_signature), std::nullopt};
      if (!part.image_data.empty()) {
        kept.image = std::make_shared<const host::Bytes>(host::base64_decode(part.image_data));
      }
      turn->answered.parts.push_back(std::move(kept));
    }
  }
  AnswerOffer offer;
  offer.links = body.file_uris().first;
  if (offer.links.empty()) {
    auto scan = body.largest_inline_image(&response.body);
    offer.image = std::move(scan.image);
    offer.finish_reason = std::move(scan.finish_reason);
  }
  return offer;
}

// What a streamed answer offered once its last event is read: the same as the same answer
// unstreamed. Nothing when it ended in an error event.
std::optional<AnswerOffer> streamed_offer_of(const TavelinaClient& self,
                                             internal::GeminiStream& events, double seconds,
                                             const host::CallOptions& options,
                                             ReportBuilder& report) {
  if (!events.error().is_null()) return std::nullopt;
  if (report.wanted()) take_report_facts(events.facts(), *report.report());
  note_answer(self, seconds, options);
  AnswerOffer offer;
  offer.links = events.links();
  offer.finish_reason = events.finish_reason();
  auto& kept = events.image_event();
  if (offer.links.empty() && kept) {
    internal::GeminiResponse event(kept->text, kept->readable);
    auto scan = event.largest_inline_image(&kept->buffer);
    offer.image = std::move(scan.image);
  }
  return offer;
}

// The status an error event stands for: its "error.code" when that is one.
int error_status(const nlohmann::ordered_json& error, int fallback) {
  const auto inner = error.find("error");
  if (inner == error.end() || !inner->is_object()) return fallback;
  const auto code = inner->find("code");
  if (code == inner->end() || !code->is_number_integer()) return fallback;
  return code->get<int>();
}

// The reference images a request carries: each of the new turn's, and each of the earlier user
// turns' once (a reference sent again in every turn is one image; the model's own images in a
// conversation are answers, not references).
std::size_t reference_count(std::span<const host::Bytes> images,
                            std::span<const host::ConversationTurn> history) {
  std::vector<host::ByteView> seen(images.begin(), images.end());
  std::size_t earlier = 0;
  for (const host::ConversationTurn& turn : history) {
    if (turn.role != "user") continue;
    for (const host::ConversationPart& part : turn.parts) {
      if (!part.image) continue;
      const host::ByteView image = *part.image;
      const bool again = std::any_of(seen.begin(), seen.end(), [&](host::ByteView other) {
        return other.data() == image.data() ||
               std::equal(other.begin(), other.end(), image.begin(), image.end());
      });
      if (again) continue;
      seen.push_back(image);
      ++earlier;
    }
  }
  return images.size() + earlier;
}

// What a request goes out as once everything that can be told before sending is checked: the
// model's entry (nullptr: sent unchecked), the model named, and the size sent (none to a direct
// model that takes none).
struct CheckedCall {
  const host::ModelInfo* info = nullptr;
  std::string model_sent;
  std::optional<std::string> size;
};

// Checks a request before anything is sent: the model, ratio, size and members, a history the
// service would refuse, the model's reference limit. The refusal, or the checked call.
std::variant<CheckedCall, ServiceResult> check_call(
    const TavelinaClient& self, std::string_view prompt, std::span<const host::Bytes> images,
    const config::AspectRatio& aspect_ratio, const std::optional<std::string>& image_size,
    const config::GeminiModel& model, const GenerationRequest* by_name,
    std::span<const host::ConversationTurn> history, const host::CallOptions& options,
    ReportBuilder& report) {
  const auto catalogue = config::model_catalogue();
  const host::ModelChoice choice =
      host::internal::choose_model(self, *catalogue, model, host::Service::kGemini);
  const std::optional<std::string> size = upper_size(image_size);
  // The service would be sent a prompt other than the caller's (or refuse the body).
  if (auto at = host::first_invalid_utf8(prompt)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                               "prompt is not valid UTF-8 (byte " + std::to_string(*at) + ")");
  }
  if (auto refused = refusal(self, model, aspect_ratio, size, by_name, choice)) {
    return std::move(*refused);
  }
  CheckedCall checked{choice.checked, choice.sent, size};
  // A history the service would refuse is not sent.
  if (auto why = internal::signature_refusal(checked.model_sent, history)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
  }
  const host::ModelInfo* info = checked.info;
  const std::size_t images_sent = reference_count(images, history);
  if (info != nullptr && info->max_images &&
      images_sent > static_cast<std::size_t>(*info->max_images)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                               "the request carries " + std::to_string(images_sent) + " images; " +
                                   info->name + " takes " + std::to_string(*info->max_images) +
                                   " at most");
  }
  // A model known to take no size is sent none by the direct form.
  if (self.dialect() == host::Dialect::kDirect && info != nullptr && info->image_sizes.empty()) {
    checked.size.reset();
  }
  host::internal::record_model_choice(self, model, choice, options, report);
  return checked;
}

// A failure of the exchange: an " error" record, SERVICE_BUSY naming the failure's kind.
constexpr host::internal::FailureWording kFailureWording{" error", true};
ServiceResult failure_result(const TavelinaClient& self, const std::exception_ptr& failure,
                             const host::CallOptions& options, ReportBuilder& report) {
  return host::internal::failure_result(failure, *self.logger(), self.model_tag(), options, report,
                                        kFailureWording);
}

// The result of an answer held whole: an error answer's message, else the 200 body's image. The
// same for an exchange's response and for an answer a host obtained elsewhere.
Task<ServiceResult> whole_answer_steps(const TavelinaClient& self, host::HttpResponse& response,
                                       double seconds, const config::AspectRatio& aspect_ratio,
                                       const host::CallOptions& options, const Exchange& exchange,
                                       ReportBuilder& report, TurnContext* turn) {
  if (response.status_code != 200) {
    co_return error_answer(self, response.text(), response.status_code, options, seconds, report);
  }
  AnswerOffer offer = offer_of(self, response, seconds, options, report, turn);
  co_return co_await outcome_of(self, std::move(offer), aspect_ratio, options, exchange, report);
}

// The result of an Interaction that has ended (read whole, from its create or its last poll):
// its image as a generateContent answer's would be, or why there is none.
Task<ServiceResult> interaction_outcome(const TavelinaClient& self, host::HttpResponse& response,
                                        double seconds, const config::AspectRatio& aspect_ratio,
                                        const host::CallOptions& options, const Exchange& exchange,
                                        ReportBuilder& report, TurnContext* turn) {
  internal::InteractionAnswer answer = internal::read_interaction(response.body);
  if (report.wanted()) {
    host::CallReport& facts = *report.report();
    facts.usage = host::internal::usage_of(std::move(answer.usage), "total_input_tokens",
                                           "total_output_tokens", "total_tokens");
    facts.model_version = answer.model;
    facts.text = answer.text;
    if (!facts.request_id && !answer.id.empty()) facts.request_id = answer.id;
    if (facts.job) facts.job->state = answer.status.state;
  }
  note_answer(self, seconds, options);
  const host::JobStatus& status = answer.status;
  if (status.phase != host::JobStatus::Phase::kDone) {
    auto ended_record =
        host::log_record(self.model_tag() + " job ended", options.task_id, options.model_key);
    ended_record["id"] = answer.id;
    ended_record["status"] = status.state;
    ended_record["error"] = status.error;
    self.logger()->debug(ended_record);
    const std::string said = status.error.empty() ? "" : ": " + status.error;
    if (status.phase == host::JobStatus::Phase::kFailed) {
      co_return ServiceResult::fail(ErrorCode::IMAGE_GENERATE_FAIL, status.error.empty()
                                                                        ? "the job " + status.state
                                                                        : status.error);
    }
    co_return ServiceResult::fail(ErrorCode::SERVICE_BUSY, "the job is " + status.state + said);
  }
  if (turn != nullptr) {
    // The model's turn as the conversation keeps it; the service holds it too, by id.
    if (answer.text) turn->answered.parts.push_back({answer.text, nullptr, {}, std::nullopt, {}});
    if (answer.image) {
      turn->answered.parts.push_back(
          {std::nullopt, std::make_shared<const host::Bytes>(*answer.image),
           std::string(internal::gemini_mime_type(*answer.image)), std::nullopt, std::nullopt});
    }
    turn->answered_id = answer.id;
  }
  AnswerOffer offer{std::move(answer.links), std::move(answer.image), std::nullopt};
  co_return co_await outcome_of(self, std::move(offer), aspect_ratio, options, exchange, report);
}

std::string interaction_url(const TavelinaClient& self, std::string_view id = {}) {
  std::string url = self.base_url() + "/v1beta/interactions";
  if (!id.empty()) url += "/" + std::string(id);
  return url;
}

host::internal::JobWire job_wire(const TavelinaClient& self, const std::string& id) {
  return {interaction_url(self, id), key_header(self), internal::interaction_status};
}

// Waits for an Interaction run in the background and reads it once it has ended.
Task<ServiceResult> collect_job(const TavelinaClient& self, const host::JobRef& job,
                                const config::AspectRatio& aspect_ratio,
                                const host::CallOptions& options, const Exchange& exchange,
                                ReportBuilder& report, bool submitted_here,
                                TurnContext* turn = nullptr) {
  host::JobReport noted{job.id, submitted_here, 0, {}};
  // Named first: GCC can't hold temporaries of a braced list across the wait.
  host::internal::JobWire wire = job_wire(self, job.id);
  const host::Timeout timeout = host::effective_timeout(options.timeout, exchange.client());
  const auto start = Clock::now();
  host::HttpResponse response =
      co_await host::internal::poll_job(exchange, std::move(wire), timeout, options.polling, noted);
  if (report.wanted()) {
    report.report()->job = std::move(noted);
    report.polled(response);
  }
  if (response.status_code != 200) {
    co_return error_answer(self, response.text(), response.status_code, options,
                           seconds_since(start), report);
  }
  ServiceResult result = co_await interaction_outcome(
      self, response, seconds_since(start), aspect_ratio, options, exchange, report, turn);
  // The job's id names the interaction when its answer does not.
  if (turn != nullptr && turn->answered_id && turn->answered_id->empty()) {
    turn->answered_id = job.id;
  }
  co_return result;
}

// The request as an Interactions create: answered whole, or, in the background, as a job that is
// then waited for (or only noted in `*submitted`, for a submit).
Task<ServiceResult> interaction_steps(const TavelinaClient& self, const std::string& prompt,
                                      std::span<const host::Bytes> images,
                                      const config::AspectRatio& aspect_ratio,
                                      const CheckedCall& checked, const GenerationRequest* by_name,
                                      std::span<const internal::ImageLink> links,
                                      const host::CallOptions& options, const Exchange& exchange,
                                      ReportBuilder& report, host::JobRef* submitted,
                                      TurnContext* turn) {
  if (options.stream) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "an Interactions call is not streamed here: leave stream off");
  }
  if (turn != nullptr && !turn->history.empty()) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "this conversation's turns went by generateContent: continue it "
                                  "without options.api and background");
  }
  if (by_name != nullptr) {
    if (auto why = internal::interactions_refusal(*by_name)) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
    }
  }
  const bool background = submitted != nullptr || options.background;
  host::PostRequest request;
  const internal::InteractionShape shape{
      checked.model_sent, aspect_ratio, view_of(checked.size), background,
      turn != nullptr ? view_of(turn->previous_id) : std::nullopt};
  request.body = internal::interactions_body(prompt, images, shape, by_name, links);
  request.headers = {key_header(self), {"Content-Type", "application/json"}};
  request.timeout = host::effective_timeout(options.timeout, exchange.client());
  const std::string url = interaction_url(self);
  auto request_record =
      host::log_record(self.model_tag() + " request api", options.task_id, options.model_key);
  request_record["model_name"] = checked.model_sent;
  request_record["img_count"] = images.size();
  request_record["url"] = url;
  request_record["aspect_ratio"] = aspect_ratio;
  request_record["background"] = background;
  self.logger()->debug(request_record);
  host::check_headers(request.headers);
  const std::string digest =
      background ? host::sha256_hex(std::get<host::StreamedBody>(request.body)) : std::string();
  const auto start = Clock::now();
  host::HttpResponse response = co_await host::internal::send_request(
      exchange, url, request, options.retry.value_or(self.retry_policy()), report,
      {*self.logger(), self.model_tag(), options.task_id, options.model_key});
  if (response.status_code != 200) {
    co_return error_answer(self, response.text(), response.status_code, options,
                           seconds_since(start), report);
  }
  if (!background) {
    co_return co_await interaction_outcome(self, response, seconds_since(start), aspect_ratio,
                                           options, exchange, report, turn);
  }
  host::JobRef job = host::internal::job_named(
      host::Service::kGemini, host::internal::top_level_text(response.text(), "id"),
      checked.model_sent, digest);
  if (job.id.empty()) {
    // Taken, but named by nothing this client can wait for: it may run, and be paid for.
    co_return ServiceResult::fail(ErrorCode::SERVICE_BUSY,
                                  "the service took the job but named no id for it");
  }
  auto job_record =
      host::log_record(self.model_tag() + " job submitted", options.task_id, options.model_key);
  job_record["id"] = job.id;
  self.logger()->debug(job_record);
  if (report.wanted()) {
    report.report()->job =
        host::JobReport{job.id, true, 0, internal::interaction_status(response.text()).state};
  }
  if (submitted != nullptr) {
    *submitted = job;
    co_return ServiceResult::success(std::string(job.id));
  }
  co_return co_await collect_job(self, job, aspect_ratio, options, exchange, report, true, turn);
}

// Whether the call goes over the Interactions API: asked for, or needed for a job.
bool over_interactions(const host::CallOptions& options, const host::JobRef* submitted) {
  const auto* api = std::get_if<host::GeminiApi>(&options.api);
  return submitted != nullptr || options.background ||
         (api != nullptr && *api == host::GeminiApi::interactions);
}

std::optional<ServiceResult> api_refusal(const host::CallOptions& options) {
  if (std::holds_alternative<host::ImagesApi>(options.api)) {
    return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                               "options.api names an images API form; this client takes GeminiApi");
  }
  return std::nullopt;
}

// The steps of one generateContent call, shared by the blocking and non-blocking entries.
Task<ServiceResult> generate_steps(const TavelinaClient& self, const std::string& prompt,
                                   const std::optional<std::vector<host::Bytes>>& image_bytes_list,
                                   const config::AspectRatio& aspect_ratio,
                                   const std::optional<std::string>& image_size,
                                   const config::GeminiModel& model,
                                   const host::CallOptions& options, const Exchange& exchange,
                                   ReportBuilder& report,
                                   const GenerationRequest* by_name = nullptr,
                                   TurnContext* turn = nullptr, host::JobRef* submitted = nullptr) {
  if (auto refused = api_refusal(options)) co_return std::move(*refused);
  const std::span<const host::Bytes> images = image_bytes_list
                                                  ? std::span<const host::Bytes>(*image_bytes_list)
                                                  : std::span<const host::Bytes>();
  const std::span<const host::ConversationTurn> history =
      turn != nullptr ? turn->history : std::span<const host::ConversationTurn>();
  auto checked_or_refused = check_call(self, prompt, images, aspect_ratio, image_size, model,
                                       by_name, history, options, report);
  if (auto* refused = std::get_if<ServiceResult>(&checked_or_refused))
    co_return std::move(*refused);
  const CheckedCall checked = std::get<CheckedCall>(std::move(checked_or_refused));
  const std::string& tag = self.model_tag();
  host::Logger& logger = *self.logger();
  // Outside the call's own guard: a host's HTTP client that fails here ends as `start` ends.
  const host::Timeout timeout = host::effective_timeout(options.timeout, exchange.client());

  std::exception_ptr failure;
  try {
    // Uploaded user images go by their files.
    std::vector<internal::ImageLink> call_links;
    std::vector<internal::ImageLink>& links = turn != nullptr ? turn->links : call_links;
    if (by_name != nullptr && by_name->upload_references) {
      // Named, not a temporary: the upload's steps hold on to it while they wait.
      const internal::UploadTarget target{self.base_url(), key_header(self), timeout};
      internal::LinkedImages linked =
          co_await internal::link_user_images(target, images, history, exchange);
      note_uploads(self, linked, options, report);
      if (linked.refused) {
        co_return error_answer(self, linked.refused->error_body, linked.refused->status_code,
                               options, 0.0, report);
      }
      links = std::move(linked.links);
    }
    if (over_interactions(options, submitted)) {
      co_return co_await interaction_steps(self, prompt, images, aspect_ratio, checked, by_name,
                                           links, options, exchange, report, submitted, turn);
    }
    host::PostRequest request = generate_request(
        self, prompt, images, aspect_ratio, view_of(checked.size), by_name, timeout, turn, links);
    if (auto why = internal::inline_size_refusal(std::get<host::StreamedBody>(request.body).size(),
                                                 self.dialect() == host::Dialect::kDirect)) {
      co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
    }
    // A streamed answer comes as server-sent events, read as they arrive.
    const std::string url =
        self.base_url() + "/v1beta/models/" + checked.model_sent +
        (options.stream ? ":streamGenerateContent?alt=sse" : ":generateContent");
    std::optional<internal::GeminiStream> events;
    std::optional<host::internal::AnswerStream> stream;
    if (options.stream) {
      events.emplace();
      stream.emplace(*events, exchange.progress(), report);
      request.receiver = &*stream;
    }

    auto request_record =
        host::log_record(tag + " request api", options.task_id, options.model_key);
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
        {logger, tag, options.task_id, options.model_key});

    if (response.status_code != 200 || !stream || !stream->holds_events(response)) {
      co_return co_await whole_answer_steps(self, response, seconds_since(start), aspect_ratio,
                                            options, exchange, report, turn);
    }
    stream->finish(response);
    std::optional<AnswerOffer> offer =
        streamed_offer_of(self, *events, seconds_since(start), options, report);
    if (!offer) {
      co_return error_answer(self, events->error().dump(),
                             error_status(events->error(), response.status_code), options,
                             seconds_since(start), report);
    }
    co_return co_await outcome_of(self, std::move(*offer), aspect_ratio, options, exchange, report);
  } catch (...) {
    failure = std::current_exception();
  }
  co_return failure_result(self, failure, options, report);
}

// An answer obtained elsewhere, read as an exchange's would be.
Task<ServiceResult> answered_steps(const TavelinaClient& self, const GenerationRequest& r,
                                   host::HttpResponse& response, const host::CallOptions& options,
                                   const Exchange& exchange, ReportBuilder& report) {
  report.answered(response);
  host::internal::report_model_choice(host::internal::choose_model(self, *config::model_catalogue(),
                                                                   r.model, host::Service::kGemini),
                                      report);
  co_return co_await whole_answer_steps(self, response, 0.0, r.aspect_ratio, options, exchange,
                                        report, nullptr);
}

// The contract's check of the ratio against the host's list, before any reference is loaded. A
// model the direct dialect sends unchecked is not held to the list: the service decides.
std::optional<ServiceResult> listed_ratio_refusal(const TavelinaClient& self,
                                                  const config::GeminiModel& model,
                                                  const config::AspectRatio& aspect_ratio) {
  if (config::is_supported_ratio(aspect_ratio)) return std::nullopt;
  if (self.dialect() == host::Dialect::kDirect &&
      host::internal::choose_model(self, *config::model_catalogue(), model, host::Service::kGemini)
              .checked == nullptr) {
    return std::nullopt;
  }
  return ServiceResult::fail(ErrorCode::INVALID_PARAMS, "Invalid aspect_ratio: " + aspect_ratio);
}

// The public entry's steps: the ratio, the references (links fetched as the call's exchanges),
// then the generation. A request by name refuses a reference that does not load and has its
// members written; a positional one leaves such a reference out, as its contract says.
Task<ServiceResult> start_steps(const TavelinaClient& self, const GenerationRequest& r,
                                const host::CallOptions& options, const Exchange& exchange,
                                ReportBuilder& report, Entry entry,
                                host::JobRef* submitted = nullptr) {
  if (auto refused = listed_ratio_refusal(self, r.model, r.aspect_ratio)) {
    co_return std::move(*refused);
  }
  const bool by_name = entry == Entry::kByName;
  std::string refused;
  std::vector<host::Bytes> references =
      co_await host::internal::gather_references(r.files, exchange, by_name ? &refused : nullptr);
  if (!refused.empty()) co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, refused);
  std::optional<std::vector<host::Bytes>> image_bytes_list;
  if (!references.empty()) image_bytes_list = std::move(references);
  co_return co_await generate_steps(self, r.prompt, image_bytes_list, r.aspect_ratio, r.image_size,
                                    r.model, options, exchange, report, by_name ? &r : nullptr,
                                    nullptr, submitted);
}

// The entries' steps: a request by name started (the table wants this exact shape), submitted
// as a job, a job collected, a job's state asked or its cancelling.
Task<ServiceResult> named_start_steps(const TavelinaClient& self, const GenerationRequest& r,
                                      const host::CallOptions& options, const Exchange& exchange,
                                      ReportBuilder& report, Entry entry) {
  return start_steps(self, r, options, exchange, report, entry);
}

Task<ServiceResult> submit_steps(const TavelinaClient& self, const GenerationRequest& r,
                                 const host::CallOptions& options, const Exchange& exchange,
                                 ReportBuilder& report, host::JobRef* submitted) {
  return start_steps(self, r, options, exchange, report, Entry::kByName, submitted);
}

Task<ServiceResult> collect_steps(const TavelinaClient& self, const host::JobRef& job,
                                  const host::CallOptions& options, const Exchange& exchange,
                                  ReportBuilder& report) {
  if (auto why = host::internal::job_refusal(job, host::Service::kGemini)) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, std::move(*why));
  }
  host::internal::report_model_choice(
      host::internal::choose_model(self, *config::model_catalogue(), job.model,
                                   host::Service::kGemini),
      report);
  const config::AspectRatio none_asked;
  co_return co_await collect_job(self, job, none_asked, options, exchange, report, false);
}

Task<host::JobStatus> job_state_steps(const TavelinaClient& self, const host::JobRef& job,
                                      bool cancel, const host::CallOptions& options,
                                      const Exchange& exchange) {
  if (auto why = host::internal::job_refusal(job, host::Service::kGemini)) {
    throw host::InvalidArgument(*why);
  }
  return host::internal::job_state(exchange, job_wire(self, job.id),
                                   host::effective_timeout(options.timeout, exchange.client()),
                                   cancel);
}

// The request of a positional call.
GenerationRequest positional_request(std::string prompt, std::string aspect_ratio,
                                     std::string image_size, host::Files files, std::string model) {
  return GenerationRequest{.prompt = std::move(prompt),
                           .aspect_ratio = std::move(aspect_ratio),
                           .image_size = std::move(image_size),
                           .files = std::move(files),
                           .model = std::move(model)};
}

// The next turn of `conversation`: its turns, then the request's prompt and references; when the
// call ends well, both new turns are added (the user's as sent, the model's as answered).
Task<ServiceResult> continue_steps(const TavelinaClient& self, host::Conversation& conversation,
                                   const GenerationRequest& r, const host::CallOptions& options,
                                   const Exchange& exchange, ReportBuilder& report) {
  if (report.wanted()) report.report()->turn = static_cast<int>(conversation.exchanges()) + 1;
  if (options.stream) {
    co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS,
                                  "a conversation's turn is not streamed: leave stream off");
  }
  if (auto refused = listed_ratio_refusal(self, r.model, r.aspect_ratio)) {
    co_return std::move(*refused);
  }
  std::string refused;
  std::vector<host::Bytes> references =
      co_await host::internal::gather_references(r.files, exchange, &refused);
  if (!refused.empty()) co_return ServiceResult::fail(ErrorCode::INVALID_PARAMS, refused);
  std::optional<std::vector<host::Bytes>> image_bytes_list;
  if (!references.empty()) image_bytes_list = std::move(references);
  // A conversation the Interactions API keeps goes on by its last interaction's id.
  const auto& thread = conversation.service_thread();
  const bool threaded =
      over_interactions(options, nullptr) && thread && thread->api == "interactions";
  TurnContext turn{threaded ? std::span<const host::ConversationTurn>() : conversation.turns(),
                   {"model", {}},
                   {},
                   threaded ? std::optional(thread->id) : std::nullopt,
                   std::nullopt};
  ServiceResult result =
      co_await generate_steps(self, r.prompt, image_bytes_list, r.aspect_ratio, r.image_size,
                              r.model, options, exchange, report, &r, &turn);
  // Files uploaded stay noted whatever the outcome: a retry of the turn names them again.
  for (const internal::ImageLink& link : turn.links) {
    conversation.note_upload(link.image.data(), link.file);
  }
  if (result.ok()) {
    host::ConversationTurn asked{"user", {}};
    asked.parts.push_back({r.prompt, nullptr, {}, std::nullopt, std::nullopt});
    std::vector<host::Bytes> sent;
    if (image_bytes_list) sent = std::move(*image_bytes_list);
    for (host::Bytes& image : sent) {
      host::ConversationPart part{std::nullopt, nullptr,
                                  std::string(internal::gemini_mime_type(image)), std::nullopt,
                                  std::nullopt};
      for (const internal::ImageLink& link : turn.links) {
        if (link.image.data() == image.data()) part.file = link.file;
      }
      // A reference sent in an earlier turn too is held once.
      part.image = conversation.shared_image(std::make_shared<const host::Bytes>(std::move(image)));
      asked.parts.push_back(std::move(part));
    }
    conversation.add(std::move(asked));
    conversation.add(std::move(turn.answered));
    // Sent again in full next time unless this turn left the service holding it.
    conversation.set_service_thread(
        turn.answered_id && !turn.answered_id->empty()
            ? std::optional(host::ServiceThread{"interactions", *turn.answered_id})
            : std::nullopt);
  }
  co_return result;
}

}  // namespace

host::PreparedRequest TavelinaClient::prepare(const GenerationRequest& request) const {
  ReportBuilder no_report(nullptr);
  const std::vector<host::Bytes> images = host::load_references(request.files, *http_client());
  auto checked_or_refused =
      check_call(*this, request.prompt, images, request.aspect_ratio, request.image_size,
                 request.model, &request, {}, {}, no_report);
  if (auto* refused = std::get_if<ServiceResult>(&checked_or_refused)) {
    throw host::InvalidArgument(refused->msg().value_or("the request is refused"));
  }
  const CheckedCall& checked = std::get<CheckedCall>(checked_or_refused);
  host::PreparedRequest prepared;
  prepared.path = "/v1beta/models/" + checked.model_sent + ":generateContent";
  prepared.body = host::flatten(
      internal::gemini_body(request.prompt, images, request.aspect_ratio, view_of(checked.size),
                            dialect() != host::Dialect::kDirect, &request));
  if (auto why = internal::inline_size_refusal(prepared.body.size(),
                                               dialect() == host::Dialect::kDirect)) {
    throw host::InvalidArgument(*why);
  }
  return prepared;
}

host::ServiceBatches TavelinaClient::batches(std::size_t inline_limit_bytes) const {
  return {internal::gemini_batches(inline_limit_bytes), http_client(), base_url(),
          key_header(*this)};
}

host::UploadedFile TavelinaClient::upload_file(host::ByteView bytes, const std::string& mime_type,
                                               const std::string& display_name,
                                               const host::CallOptions& options) const {
  return batches().upload_file(bytes, mime_type, display_name, options);
}

TavelinaClient::TavelinaClient(std::string base_url, std::string api_key, Options options)
    : ServiceClient(kLoggerName, std::move(base_url), std::move(options), std::move(api_key)) {}

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
    // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): public signature
    const std::optional<std::string>& aspect_ratio,
    const std::optional<std::string>& image_size) const {
  const std::optional<std::string> size = upper_size(image_size);
  nlohmann::ordered_json content = nlohmann::ordered_json::object();
  content["role"] = "user";
  content["parts"] = _build_parts(image_bytes_list.value_or(std::vector<host::Bytes>{}), prompt);
  nlohmann::ordered_json body = nlohmann::ordered_json::object();
  body["contents"] = nlohmann::ordered_json::array({std::move(content)});
  body["generationConfig"] = {{"responseModalities", {"IMAGE"}}};
  if (dialect() == host::Dialect::kGateway) body["response_format"] = "url";
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
  return host::internal::run_blocking(
      *this, options, [&](const Exchange& exchange, ReportBuilder& report) {
        return generate_steps(*this, prompt, image_bytes_list, aspect_ratio, image_size, model,
                              options, exchange, report);
      });
}

ServiceResult TavelinaClient::start(const std::string& prompt,
                                    const config::AspectRatio& aspect_ratio,
                                    const std::string& image_size, const host::Files& files,
                                    const config::GeminiModel& model,
                                    const host::CallOptions& options) const {
  return host::internal::start_here(
      *this, positional_request(prompt, aspect_ratio, image_size, files, model), options,
      Entry::kPositional);
}

void TavelinaClient::start_async(std::string prompt, std::string aspect_ratio,
                                 std::string image_size, host::Files files, std::string model,
                                 host::CallOptions options, host::ResultCallback on_done) const {
  host::internal::start_detached(
      *this,
      positional_request(std::move(prompt), std::move(aspect_ratio), std::move(image_size),
                         std::move(files), std::move(model)),
      std::move(options), Entry::kPositional, std::move(on_done));
}

std::future<ServiceResult> TavelinaClient::start_async(std::string prompt, std::string aspect_ratio,
                                                       std::string image_size, host::Files files,
                                                       std::string model,
                                                       host::CallOptions options) const {
  return host::internal::future_of([&](host::ResultCallback done) {
    start_async(std::move(prompt), std::move(aspect_ratio), std::move(image_size), std::move(files),
                std::move(model), std::move(options), std::move(done));
  });
}

}  // namespace zantrel::image::tavelin

// The by-name entries over this client's steps.
template <>
struct zantrel::host::internal::ClientSteps<zantrel::image::tavelin::TavelinaClient> {
  static constexpr StepTable<image::tavelin::TavelinaClient, image::tavelin::GenerationRequest>
      table{image::tavelin::named_start_steps, image::tavelin::continue_steps,
            image::tavelin::answered_steps,    image::tavelin::kFailureWording,
            image::tavelin::submit_steps,      image::tavelin::collect_steps,
            image::tavelin::job_state_steps};
};
template class zantrel::host::RequestEntries<zantrel::image::tavelin::TavelinaClient,
                                             zantrel::image::tavelin::GenerationRequest>;
