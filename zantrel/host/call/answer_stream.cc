#include "zantrel/host/call/answer_stream.h"

#include <strings.h>

#include <optional>
#include <string_view>

namespace zantrel::host::internal {
namespace {

// Room reserved at once for a large event (an image of tens of megabytes): the HTTP client's
// default response cap. Address space only: the pages come as the event is written into them.
constexpr std::size_t kLargeEventRoom = std::size_t{256} << 20;

// Whether headers name a stream of events; nothing when they name no type.
std::optional<bool> names_events(const Headers& headers) {
  for (const auto& [name, value] : headers) {
    if (name.size() != 12 || strncasecmp(name.c_str(), "content-type", 12) != 0) continue;
    return strncasecmp(value.c_str(), "text/event-stream", 17) == 0;
  }
  return std::nullopt;
}

}  // namespace

bool AnswerStream::holds_events(const HttpResponse& response) const {
  if (accepted_) return true;
  if (response.status_code != 200) return false;
  if (auto named = names_events(response.headers)) return *named;
  // No type named: events begin with a field or a comment.
  const std::string_view text = response.text();
  for (const std::string_view field : {"data", "event", "id", "retry", ":"}) {
    if (text.starts_with(field)) return true;
  }
  return false;
}

bool AnswerStream::accept(int status, const Headers& headers) {
  // Asked again for each attempt: what an earlier one took says nothing of this answer.
  accepted_ = false;
  // Without a type the first bytes decide, once the exchange is over.
  if (status != 200 || !names_events(headers).value_or(false)) return false;
  reader_ = SseReader(kLargeEventRoom);
  events_.begin();
  accepted_ = true;
  return true;
}

void AnswerStream::receive(ByteView chunk) {
  reader_.feed(chunk, [this](const SseEvent& event) { read(event); });
}

void AnswerStream::finish(HttpResponse& response) {
  if (!accepted_) {
    reader_ = SseReader(kLargeEventRoom);
    events_.begin();
    accepted_ = true;
    receive(response.body);
    response.body = Bytes();
  }
  reader_.finish([this](const SseEvent& event) { read(event); });
}

void AnswerStream::preview(const Preview& preview) {
  report_.preview();
  if (progress_ != nullptr) progress_->preview(preview);
}

KeptEvent AnswerStream::keep(const SseEvent& event) {
  KeptEvent kept{reader_.take_buffer(), event.data, event.readable};
  if (kept.buffer.empty()) {
    kept.buffer.reserve(event.data.size() + kSsePadding + 1);
    kept.buffer.assign(event.data.begin(), event.data.end());
    kept.buffer.push_back('\n');
    kept.text = as_text(ByteView(kept.buffer).first(event.data.size()));
    kept.readable = kept.buffer.capacity();
  }
  return kept;
}

void AnswerStream::read(const SseEvent& event) {
  report_.stream_event();
  events_.read(event, *this);
}

}  // namespace zantrel::host::internal
