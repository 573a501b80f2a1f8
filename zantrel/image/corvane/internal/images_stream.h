#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call/answer_stream.h"

namespace zantrel::image::corvane::internal {

// The events of a streamed images answer: "image_generation.partial_image" and
// "image_edit.partial_image" become previews as they arrive; each ".completed" event (one per
// image) is kept whole, in the buffer it was read into, for the result; an "error" event (or
// any event that carries "error") is kept too. "[DONE]" and other events are passed over.
class ImagesStream final : public host::internal::StreamEvents {
 public:
  // `partials_asked`: the count the request asked for, which each preview names.
  explicit ImagesStream(std::optional<int> partials_asked) : partials_asked_(partials_asked) {}

  using Completed = host::internal::KeptEvent;

  void begin() override;
  void read(const host::internal::SseEvent& event, host::internal::AnswerStream& stream) override;

  std::vector<Completed>& completed() noexcept { return completed_; }
  // The "error" member of an error event, or the event itself when it has none; null when none.
  const nlohmann::ordered_json& error() const noexcept { return error_; }

 private:
  void partial(std::string_view data, std::size_t readable, host::internal::AnswerStream& stream);

  std::optional<int> partials_asked_;
  int partials_seen_ = 0;
  std::vector<Completed> completed_;
  nlohmann::ordered_json error_;
};

}  // namespace zantrel::image::corvane::internal
