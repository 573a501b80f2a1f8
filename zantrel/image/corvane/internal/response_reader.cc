#include "zantrel/image/corvane/internal/response_reader.h"

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/internal/codec/json_document.h"

namespace zantrel::image::corvane::internal {
namespace {

namespace od = host::internal::od;
using host::internal::expect;
using host::internal::member;
using host::internal::optional_text;
using Phase = host::JobStatus::Phase;

Phase phase_of(std::string_view state) {
  if (state == "completed" || state == "incomplete") return Phase::kDone;
  if (state == "failed") return Phase::kFailed;
  if (state == "cancelled") return Phase::kCancelled;
  return Phase::kWaiting;  // queued, in_progress, and any word not known yet
}

host::JobStatus status_of(od::object& root) {
  host::JobStatus status;
  if (auto state = optional_text(root, "status")) {
    status.state = *state;
    status.phase = phase_of(*state);
  }
  if (auto error = member(root, "error")) {
    od::object object;
    if (!error->get_object().get(object))
      status.error = optional_text(object, "message").value_or("");
  }
  return status;
}

// A message's output texts, joined.
void read_message(od::object& item, ResponseAnswer& answer) {
  auto content = member(item, "content");
  if (!content) return;
  for (auto element : expect(content->get_array(), "a message's \"content\"")) {
    od::object block = expect(element.get_object(), "a message's content");
    if (optional_text(block, "type") != "output_text") continue;
    if (auto text = optional_text(block, "text")) {
      answer.text = answer.text ? *answer.text + *text : *text;
    }
  }
}

void read_image_call(od::object& item, ResponseAnswer& answer,
                     std::vector<std::string_view>& images) {
  if (images.empty()) {
    answer.answer.revised_prompt = optional_text(item, "revised_prompt");
    answer.answer.output_format = optional_text(item, "output_format");
    answer.answer.size = optional_text(item, "size");
    answer.answer.quality = optional_text(item, "quality");
    answer.answer.background = optional_text(item, "background");
    answer.answer.generation_id = optional_text(item, "id");
  }
  if (auto result = member(item, "result")) {
    std::string_view text;
    if (!result->get_string().get(text) && !text.empty()) images.push_back(text);
  }
}

}  // namespace

ResponseAnswer read_response(host::Bytes& body) {
  host::internal::JsonDocument document(body);
  ResponseAnswer answer;
  od::object root = document.root_object();
  answer.id = optional_text(root, "id").value_or("");
  root = document.root_object();
  answer.status = status_of(root);
  root = document.root_object();
  if (auto details = member(root, "incomplete_details")) {
    od::object object;
    if (!details->get_object().get(object))
      answer.incomplete_reason = optional_text(object, "reason");
  }
  std::vector<std::string_view> images;
  root = document.root_object();
  if (auto output = member(root, "output")) {
    for (auto element : expect(output->get_array(), "\"output\"")) {
      od::object item = expect(element.get_object(), "an output item");
      const auto type = optional_text(item, "type");
      if (type == "image_generation_call") read_image_call(item, answer, images);
      if (type == "message") read_message(item, answer);
    }
  }
  root = document.root_object();
  if (auto usage = member(root, "usage")) answer.usage = host::internal::decode_value(*usage);
  // The later images by copy first: the first is then decoded over the body itself.
  for (std::size_t i = 1; i < images.size(); ++i)
    answer.images.push_back(host::base64_decode(images[i]));
  if (!images.empty()) {
    answer.images.insert(answer.images.begin(), host::base64_decode_in_place(body, images.front()));
  }
  return answer;
}

host::JobStatus response_status(std::string_view body) {
  try {
    host::internal::JsonDocument document(body, body.size());
    od::object root = document.root_object();
    return status_of(root);
  } catch (const host::Error&) {
    return {};
  }
}

}  // namespace zantrel::image::corvane::internal
