#include "zantrel/host/result/call_report.h"

namespace zantrel::host {
namespace {

using json = nlohmann::ordered_json;

template <class T>
json or_null(const std::optional<T>& value) {
  return value ? json(*value) : json();
}

json image_json(const ImageReport& image) {
  return {{"mime", image.mime.empty() ? json() : json(image.mime)},
          {"width", or_null(image.width)},
          {"height", or_null(image.height)},
          {"bytes", image.bytes},
          {"matches_request", or_null(image.matches_request)}};
}

}  // namespace

std::string_view to_string(Delivery delivery) noexcept {
  switch (delivery) {
    case Delivery::kNotSent:
      return "not_sent";
    case Delivery::kNoAnswer:
      return "no_answer";
    case Delivery::kAnswered:
      return "answered";
  }
  return "not_sent";
}

json to_json(const CallReport& r) {
  json out = json::object();
  out["delivery"] = to_string(r.delivery);
  out["failure_kind"] = or_null(r.failure_kind);
  out["http_status"] = or_null(r.http_status);
  out["service_error"] = r.service_error;
  out["retry_after_s"] = or_null(r.retry_after_s);
  out["request_id"] = or_null(r.request_id);
  out["usage"] = {{"input_tokens", or_null(r.usage.input_tokens)},
                  {"output_tokens", or_null(r.usage.output_tokens)},
                  {"total_tokens", or_null(r.usage.total_tokens)},
                  {"raw", r.usage.raw}};
  out["cost"] = r.cost ? to_json(*r.cost) : json();
  out["model_sent"] = or_null(r.model_sent);
  out["model_note"] = or_null(r.model_note);
  out["model_warning"] = or_null(r.model_warning);
  out["model_version"] = or_null(r.model_version);
  out["text"] = or_null(r.text);
  out["finish_reason"] = or_null(r.finish_reason);
  out["block_reason"] = or_null(r.block_reason);
  out["image"] = r.image ? image_json(*r.image) : json();
  out["images"] = json::array();
  for (const ImageReport& image : r.images) out["images"].push_back(image_json(image));
  out["answer"] = {{"revised_prompt", or_null(r.answer.revised_prompt)},
                   {"output_format", or_null(r.answer.output_format)},
                   {"size", or_null(r.answer.size)},
                   {"quality", or_null(r.answer.quality)},
                   {"background", or_null(r.answer.background)},
                   {"generation_id", or_null(r.answer.generation_id)},
                   {"svg_usage", r.answer.svg_usage},
                   {"sequence_number", or_null(r.answer.sequence_number)}};
  out["timings_s"] = {{"connect", or_null(r.timings.connect)},
                      {"sent", or_null(r.timings.sent)},
                      {"first_byte", or_null(r.timings.first_byte)},
                      {"total", or_null(r.timings.total)}};
  out["bytes_sent"] = or_null(r.bytes_sent);
  out["bytes_received"] = or_null(r.bytes_received);
  out["attempts"] = r.attempts;
  out["turn"] = or_null(r.turn);
  out["files"] = {{"uploaded", r.files_uploaded},
                  {"bytes", r.file_bytes_uploaded},
                  {"resumes", r.upload_resumes}};
  out["stream"] = {{"events", r.stream_events},
                   {"previews", r.previews},
                   {"first_preview_s", or_null(r.first_preview_s)}};
  out["job"] = r.job ? json{{"id", r.job->id},
                            {"submitted", r.job->submitted},
                            {"polls", r.job->polls},
                            {"state", r.job->state}}
                     : json();
  return out;
}

}  // namespace zantrel::host
