// The server-sent events reader: the standard's line and field rules, the same events whatever
// the chunks the bytes arrive in, and the data handed over in place with room behind it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zantrel/host/internal/codec/sse_reader.h"

namespace zantrel::test_support {
namespace {

using host::internal::SseEvent;
using host::internal::SseReader;

struct Seen {
  std::string type, data, id;
  bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& s, std::ostream* out) {
  *out << "{" << s.type << ", \"" << s.data << "\", " << s.id << "}";
}

// Feeds `stream` in pieces of `step` bytes (0: whole), checking each event's room on the way.
// With `take`, the handler keeps every event's buffer, and the stream must read on the same.
std::vector<Seen> read(const std::string& stream, std::size_t step, bool take = false) {
  SseReader reader;
  std::vector<Seen> seen;
  const auto on_event = [&](const SseEvent& e) {
    EXPECT_GE(e.readable, e.data.size() + 1 + host::internal::kSsePadding);
    // A line end follows the data, so a parser reading on past it finds no more of the value.
    const char after = e.data.data()[e.data.size()];
    EXPECT_TRUE(after == '\n' || after == '\r') << int(after);
    seen.push_back({std::string(e.type), std::string(e.data), std::string(e.id)});
    if (take) {
      const std::string before(e.data);
      const host::Bytes kept = reader.take_buffer();
      if (!kept.empty()) {
        const auto* begin = reinterpret_cast<const char*>(kept.data());
        EXPECT_TRUE(e.data.data() >= begin && e.data.data() + e.data.size() <= begin + kept.size())
            << "the event's data is in the buffer handed over";
      }
      EXPECT_EQ(e.data, before);
      EXPECT_TRUE(reader.take_buffer().empty()) << "a buffer is handed over once";
    }
  };
  const std::size_t piece = step == 0 ? stream.size() : step;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    reader.feed(host::as_bytes(std::string_view(stream).substr(at, piece)), on_event);
  }
  reader.finish(on_event);
  return seen;
}

TEST(SseReader, ReadsTheSameEventsWhateverTheChunks) {
  const std::string big(200000, 'Q');
  const struct {
    const char* name;
    std::string stream;
    std::vector<Seen> events;
  } cases[] = {
      {"one event", "data: {\"a\":1}\n\n", {{"message", "{\"a\":1}", ""}}},
      {"typed events and done",
       "event: image_generation.partial_image\ndata: {\"i\":0}\n\nevent: "
       "image_generation.completed\ndata: {\"i\":1}\n\ndata: [DONE]\n\n",
       {{"image_generation.partial_image", "{\"i\":0}", ""},
        {"image_generation.completed", "{\"i\":1}", ""},
        {"message", "[DONE]", ""}}},
      {"CRLF and lone CR line ends",
       "data: a\r\n\r\ndata: b\r\rdata:c\n\n",
       {{"message", "a", ""}, {"message", "b", ""}, {"message", "c", ""}}},
      {"data over several lines is joined",
       "data: one\ndata:two\ndata\n\n",
       {{"message", "one\ntwo\n", ""}}},
      {"comments, retry and unknown fields are passed over",
       ": keep-alive\nretry: 100\nfoo: bar\ndata: x\n\n",
       {{"message", "x", ""}}},
      {"a blank line without data is no event, and resets the type",
       "event: lost\n\ndata: y\n\n",
       {{"message", "y", ""}}},
      {"the id stays until another",
       "id: 7\ndata: a\n\ndata: b\n\nid: 8\ndata: c\n\n",
       {{"message", "a", "7"}, {"message", "b", "7"}, {"message", "c", "8"}}},
      {"a last event without its blank line",
       "data: a\n\ndata: tail",
       {{"message", "a", ""}, {"message", "tail", ""}}},
      {"one space after the colon is dropped, not two", "data:  x\n\n", {{"message", " x", ""}}},
      {"a long line", "data: " + big + "\n\n", {{"message", big, ""}}},
      {"nothing", "", {}},
  };
  for (const auto& c : cases) {
    for (const std::size_t step : {0, 1, 2, 3, 7, 64, 4096}) {
      EXPECT_EQ(read(c.stream, step), c.events) << c.name << ", in pieces of " << step;
      EXPECT_EQ(read(c.stream, step, true), c.events)
          << c.name << ", in pieces of " << step << ", each buffer kept";
    }
  }
}

TEST(SseReader, HoldsOnlyTheEventNotYetComplete) {
  SseReader reader;
  std::size_t events = 0;
  const auto count = [&](const SseEvent&) { ++events; };
  for (int i = 0; i < 1000; ++i)
    reader.feed(host::as_bytes(std::string_view("data: 0123\n\n")), count);
  EXPECT_EQ(events, 1000u);
  EXPECT_EQ(reader.pending_bytes(), 0u);
  reader.feed(host::as_bytes(std::string_view("data: 01")), count);
  EXPECT_EQ(reader.pending_bytes(), 8u);
}

}  // namespace
}  // namespace zantrel::test_support
