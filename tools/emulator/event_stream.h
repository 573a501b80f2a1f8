#pragma once

#include <string>
#include <vector>

#include "tools/emulator/scenario.h"

namespace httplib {
struct Response;
}

namespace zantrel::emulator {

// The events of a streamed answer, each in its wire form, and which of them carries the final
// image.
struct EventStream {
  std::vector<std::string> events;
  std::size_t final_event = 0;
  // Sent after the events when the stream ends well (the images API's "data: [DONE]").
  std::string done;
  // What an "stream-error" scenario sends after the first event instead of the rest.
  std::string error;
};

// One server-sent event: an "event:" line when `type` is given, the data on one line, a blank
// line.
std::string sse_event(const std::string& type, const std::string& data);

// Sends the stream with chunked coding, one event per write, as the stream scenarios say:
// "stream-final-first" (the final image's event first), "stream-cut" and "reset" (half of the
// final event, then the connection dropped), "stream-error", "stream-stall:MS" (a pause after the
// first event), "stream-pace:MS" (a pause before each event after the first).
void send_event_stream(httplib::Response& res, EventStream stream, const Scenario& scenario);

}  // namespace zantrel::emulator
