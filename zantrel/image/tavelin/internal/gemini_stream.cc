#include "zantrel/image/tavelin/internal/gemini_stream.h"

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/internal/codec/json_reading.h"

namespace zantrel::image::tavelin::internal {

void GeminiStream::begin() {
  image_event_.reset();
  kept_size_ = 0;
  links_.clear();
  facts_ = {};
  finish_reason_.reset();
  error_ = nullptr;
  thoughts_ = 0;
}

void GeminiStream::read(const host::internal::SseEvent& event,
                        host::internal::AnswerStream& stream) {
  if (event.data == "[DONE]") return;
  GeminiResponse response(event.data, event.readable);
  if (response.has_error()) {
    error_ = host::internal::decode_json(event.data);
    return;
  }
  merge(response.report_facts());
  auto [links, response_id] = response.file_uris();
  links_.insert(links_.end(), links.begin(), links.end());
  std::size_t largest = 0;
  for (const GeminiResponse::InlinePart& part : response.inline_parts()) {
    if (!part.thought) {
      largest = std::max(largest, part.data.size());
      continue;
    }
    const host::Bytes image = host::base64_decode(part.data);
    if (image.empty()) continue;
    host::Preview preview;
    preview.kind = host::Preview::Kind::kThought;
    preview.index = ++thoughts_;
    preview.mime_type = part.mime_type.empty()
                            ? std::string(host::sniff_image_mime(image).value_or(""))
                            : std::string(part.mime_type);
    preview.bytes = image;
    stream.preview(preview);
  }
  // Strictly larger wins, so the first of equal sizes stays.
  if (largest > kept_size_) {
    kept_size_ = largest;
    image_event_ = stream.keep(event);
  }
}

void GeminiStream::merge(GeminiResponse::ReportFacts facts) {
  if (!facts.usage.is_null()) facts_.usage = std::move(facts.usage);
  if (facts.model_version) facts_.model_version = std::move(facts.model_version);
  if (facts.response_id) facts_.response_id = std::move(facts.response_id);
  if (!facts_.block_reason) facts_.block_reason = std::move(facts.block_reason);
  if (facts.finish_reason) {
    facts_.finish_reason = facts.finish_reason;
    finish_reason_ = std::move(facts.finish_reason);
  }
  if (facts.text) facts_.text = facts_.text ? *facts_.text + *facts.text : std::move(facts.text);
}

}  // namespace zantrel::image::tavelin::internal
