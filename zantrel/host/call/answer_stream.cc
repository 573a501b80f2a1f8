#include "zantrel/host/call/answer_stream.h"

namespace zantrel::host::internal {
namespace {

// Room reserved at once for a large event (an image of tens of megabytes): the HTTP client's
// default response cap. Address space only: the pages come as the event is written into them.
constexpr std::size_t kLargeEventRoom = std::size_t{256} << 20;

}  // namespace

bool AnswerStream::accept(int status) {
  if (status != 200) return false;
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
    accept(response.status_code);
    receive(response.body);
    response.body = Bytes();
  }
  reader_.finish([this](const SseEvent& event) { read(event); });
}

void AnswerStream::preview(const Preview& preview) {
  report_.preview();
  if (progress_ != nullptr) progress_->preview(preview);
}

void AnswerStream::read(const SseEvent& event) {
  report_.stream_event();
  events_.read(event, *this);
}

}  // namespace zantrel::host::internal
