#pragma once

#include <cstddef>
#include <string_view>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call/progress_relay.h"
#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/internal/codec/sse_reader.h"
#include "zantrel/host/progress.h"

namespace zantrel::host::internal {

class AnswerStream;

// An event kept whole after its reader returned: the buffer that holds its data.
struct KeptEvent {
  Bytes buffer;
  std::string_view text;  // the data, inside `buffer`
  std::size_t readable = 0;
};

// What a client makes of the events of a streamed answer.
class StreamEvents {
 public:
  virtual ~StreamEvents() = default;
  // An answer begins (again, when the request was sent again): what an earlier one said goes.
  virtual void begin() = 0;
  // One event, in order. `stream` hands over the event's buffer and passes previews on.
  // Throws (JSONDecodeError, ...) for an event it can't read, which ends the call as a body it
  // can't read would.
  virtual void read(const SseEvent& event, AnswerStream& stream) = 0;
};

// A 200 answer of server-sent events read while it arrives: each event goes to the client's
// reader as soon as it is whole, each preview to the call's observer and report. Another
// status, or a 200 that is not a stream of events (a gateway that answers a streamed request
// whole), is left to the response, to be read as an answer not streamed.
class AnswerStream final : public BodyReceiver {
 public:
  AnswerStream(StreamEvents& events, ProgressRelay* progress, ReportBuilder& report)
      : events_(events), progress_(progress), report_(report) {}

  bool accept(int status, const Headers& headers) override;
  void receive(ByteView chunk) override;

  // The exchange came back with a 200: whether its body is a stream of events (else it is read
  // as an answer not streamed), by its Content-Type, else by how it begins.
  bool holds_events(const HttpResponse& response) const;
  // For a 200 that holds events: a body the HTTP client held whole (a stack of the host's that
  // hands over no body as it arrives) is read now, then the stream's last event.
  void finish(HttpResponse& response);

  // For the reader: a preview to show, and the event being read kept whole, without a copy (see
  // SseReader::take_buffer); data spread over lines is copied, with its room behind it.
  void preview(const Preview& preview);
  KeptEvent keep(const SseEvent& event);

 private:
  void read(const SseEvent& event);

  StreamEvents& events_;
  ProgressRelay* progress_;
  ReportBuilder& report_;
  SseReader reader_;
  bool accepted_ = false;
};

}  // namespace zantrel::host::internal
