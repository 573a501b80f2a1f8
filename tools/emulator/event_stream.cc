#include "tools/emulator/event_stream.h"

#include <httplib.h>

#include <chrono>
#include <memory>
#include <thread>

namespace zantrel::emulator {
namespace {

using std::chrono::milliseconds;

struct Sending {
  std::vector<std::string> pieces;
  std::vector<milliseconds> pauses;  // before each piece
  bool drop_at_end = false;
  std::size_t next = 0;
};

}  // namespace

std::string sse_event(const std::string& type, const std::string& data) {
  return (type.empty() ? std::string() : "event: " + type + "\n") + "data: " + data + "\n\n";
}

void send_event_stream(httplib::Response& res, EventStream stream, const Scenario& scenario) {
  auto sending = std::make_shared<Sending>();
  std::vector<std::string>& events = stream.events;
  const Fault fault = scenario.fault;
  if (fault == Fault::kStreamFinalFirst && stream.final_event < events.size()) {
    std::string final_event = std::move(events[stream.final_event]);
    events.erase(events.begin() + static_cast<std::ptrdiff_t>(stream.final_event));
    events.insert(events.begin(), std::move(final_event));
    stream.final_event = 0;
  }
  if (fault == Fault::kStreamError && !events.empty()) {
    events.resize(1);
    events.push_back(std::move(stream.error));
    stream.done.clear();
  }
  if ((fault == Fault::kStreamCut || fault == Fault::kReset) &&
      stream.final_event < events.size()) {
    events.resize(stream.final_event + 1);
    events.back().resize(events.back().size() / 2);
    stream.done.clear();
    sending->drop_at_end = true;
  }
  if (!stream.done.empty()) events.push_back(std::move(stream.done));
  const milliseconds pace(fault == Fault::kStreamPace ? scenario.number(200) : 0);
  for (std::size_t i = 0; i < events.size(); ++i) {
    milliseconds pause = i == 0 ? milliseconds(0) : pace;
    if (fault == Fault::kStreamStall && i == 1) pause = milliseconds(scenario.number(3000));
    sending->pauses.push_back(pause);
  }
  sending->pieces = std::move(events);
  res.set_chunked_content_provider("text/event-stream",
                                   [sending](std::size_t, httplib::DataSink& sink) {
                                     if (sending->next == sending->pieces.size()) {
                                       if (sending->drop_at_end)
                                         return false;  // no last chunk: the stream is cut
                                       sink.done();
                                       return true;
                                     }
                                     std::this_thread::sleep_for(sending->pauses[sending->next]);
                                     const std::string& piece = sending->pieces[sending->next++];
                                     return sink.write(piece.data(), piece.size());
                                   });
}

}  // namespace zantrel::emulator
