#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call/answer_stream.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"

namespace zantrel::image::tavelin::internal {

// The events of a streamed generateContent answer, each a whole GenerateContentResponse. Thought
// images become previews as they arrive. Of the other images, the event holding the largest (the
// first of equal sizes) is kept whole, in the buffer it was read into, for the result. What the
// report takes is merged: usage, finish reason, model version and response id from the last
// event that has them, the block reason from the first, the text parts in order.
class GeminiStream final : public host::internal::StreamEvents {
 public:
  using Kept = host::internal::KeptEvent;

  void begin() override;
  void read(const host::internal::SseEvent& event, host::internal::AnswerStream& stream) override;

  // The event with the final image, if any came.
  std::optional<Kept>& image_event() noexcept { return image_event_; }
  const std::vector<std::string>& links() const noexcept { return links_; }
  const GeminiResponse::ReportFacts& facts() const noexcept { return facts_; }
  // The last finish reason given.
  const std::optional<std::string>& finish_reason() const noexcept { return finish_reason_; }
  // An error event's data (as an error body reads it); null when none came.
  const nlohmann::ordered_json& error() const noexcept { return error_; }

 private:
  void merge(GeminiResponse::ReportFacts facts);

  std::optional<Kept> image_event_;
  std::size_t kept_size_ = 0;  // the base64 length of the image kept
  std::vector<std::string> links_;
  GeminiResponse::ReportFacts facts_;
  std::optional<std::string> finish_reason_;
  nlohmann::ordered_json error_;
  int thoughts_ = 0;
};

}  // namespace zantrel::image::tavelin::internal
