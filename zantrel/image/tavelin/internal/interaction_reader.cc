#include "zantrel/image/tavelin/internal/interaction_reader.h"

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/internal/codec/json_document.h"

namespace zantrel::image::tavelin::internal {
namespace {

namespace od = host::internal::od;
using host::internal::expect;
using host::internal::member;
using Phase = host::JobStatus::Phase;

Phase phase_of(std::string_view state) {
  if (state == "completed" || state == "incomplete") return Phase::kDone;
  if (state == "failed" || state == "budget_exceeded" || state == "requires_action") {
    return Phase::kFailed;
  }
  if (state == "cancelled") return Phase::kCancelled;
  return Phase::kWaiting;  // queued, in_progress, and any word not known yet
}

// The first message among "errors", else none.
std::string first_error(od::object& root) {
  auto errors = member(root, "errors");
  if (!errors) return {};
  od::array list;
  if (errors->get_array().get(list)) return {};
  for (auto element : list) {
    od::object error;
    if (element.get_object().get(error)) continue;
    if (auto message = host::internal::optional_text(error, "message")) return *message;
  }
  return {};
}

host::JobStatus status_of(od::object& root) {
  host::JobStatus status;
  if (auto state = host::internal::optional_text(root, "status")) {
    status.state = *state;
    status.phase = phase_of(*state);
  }
  status.error = first_error(root);
  return status;
}

// One content block of a model output: its image (by data or uri) or text.
void read_content(od::object& block, InteractionAnswer& answer,
                  std::vector<std::string_view>& images) {
  const auto type = host::internal::optional_text(block, "type");
  if (type == "text") {
    if (auto text = host::internal::optional_text(block, "text")) {
      answer.text = answer.text ? *answer.text + *text : *text;
    }
    return;
  }
  if (type != "image") return;
  if (auto data = member(block, "data")) {
    images.push_back(host::internal::text_of(*data, "an image's \"data\""));
  } else if (auto uri = host::internal::optional_text(block, "uri")) {
    answer.links.push_back(*uri);
  }
}

int thought_images(od::object& step) {
  auto summary = member(step, "summary");
  if (!summary) return 0;
  int count = 0;
  for (auto element : expect(summary->get_array(), "a thought's \"summary\"")) {
    od::object block = expect(element.get_object(), "a summary block");
    if (host::internal::optional_text(block, "type") == "image") ++count;
  }
  return count;
}

void read_steps(od::array steps, InteractionAnswer& answer, std::vector<std::string_view>& images) {
  for (auto element : steps) {
    od::object step = expect(element.get_object(), "a step");
    const auto type = host::internal::optional_text(step, "type");
    if (type == "thought") {
      answer.previews += thought_images(step);
      continue;
    }
    if (type != "model_output") continue;
    if (auto content = member(step, "content")) {
      for (auto block_element : expect(content->get_array(), "a step's \"content\"")) {
        od::object block = expect(block_element.get_object(), "a content block");
        read_content(block, answer, images);
      }
    }
    if (auto error = member(step, "error"); error && answer.status.error.empty()) {
      od::object status;
      if (!error->get_object().get(status)) {
        answer.status.error = host::internal::optional_text(status, "message").value_or("");
      }
    }
  }
}

}  // namespace

InteractionAnswer read_interaction(host::Bytes& body) {
  host::internal::JsonDocument document(body);
  InteractionAnswer answer;
  od::object root = document.root_object();
  answer.id = host::internal::optional_text(root, "id").value_or("");
  answer.model = host::internal::optional_text(root, "model");
  root = document.root_object();
  answer.status = status_of(root);
  std::vector<std::string_view> images;
  root = document.root_object();
  if (auto steps = member(root, "steps")) {
    read_steps(expect(steps->get_array(), "\"steps\""), answer, images);
  }
  root = document.root_object();
  if (images.empty() && answer.links.empty()) {
    // An answer that gives only the SDK's summary member.
    if (auto output = member(root, "output_image")) {
      od::object block = expect(output->get_object(), "\"output_image\"");
      read_content(block, answer, images);
    }
  }
  root = document.root_object();
  if (auto usage = member(root, "usage")) answer.usage = host::internal::decode_value(*usage);
  if (!images.empty()) {
    std::size_t largest = 0;
    for (std::size_t i = 1; i < images.size(); ++i) {
      if (images[i].size() > images[largest].size()) largest = i;
    }
    host::Bytes decoded = host::base64_decode_in_place(body, images[largest]);
    if (!decoded.empty()) answer.image = std::move(decoded);
  }
  return answer;
}

host::JobStatus interaction_status(std::string_view body) {
  try {
    host::internal::JsonDocument document(body, body.size());
    od::object root = document.root_object();
    return status_of(root);
  } catch (const host::Error&) {
    return {};
  }
}

}  // namespace zantrel::image::tavelin::internal
