// The server-sent events reader on any bytes: it stays inside its buffer, every event has its
// room behind it, and the events are the same whether the bytes come whole or in pieces (the
// first byte of the input picks the piece size), and whether or not the handler keeps each
// event's buffer.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "zantrel/host/internal/codec/sse_reader.h"

namespace {

using zantrel::host::internal::SseEvent;
using zantrel::host::internal::SseReader;

std::vector<std::string> events_of(const std::uint8_t* data, std::size_t size, std::size_t step,
                                   bool keep) {
  SseReader reader;
  std::vector<std::string> out;
  std::vector<zantrel::host::Bytes> kept;
  const auto on_event = [&](const SseEvent& e) {
    if (e.readable < e.data.size() + 1 + zantrel::host::internal::kSsePadding) __builtin_trap();
    out.push_back(std::string(e.type) + '\0' + std::string(e.data) + '\0' + std::string(e.id));
    if (keep) {
      kept.push_back(reader.take_buffer());
      // The event's views still read the same, from the buffer kept.
      if (std::string(e.type) + '\0' + std::string(e.data) + '\0' + std::string(e.id) !=
          out.back()) {
        __builtin_trap();
      }
    }
  };
  for (std::size_t at = 0; at < size; at += step) {
    const std::size_t n = std::min(step, size - at);
    reader.feed(zantrel::host::ByteView(data + at, n), on_event);
  }
  reader.finish(on_event);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const auto whole = events_of(data + 1, size - 1, size, false);
  if (whole != events_of(data + 1, size - 1, step, false) ||
      whole != events_of(data + 1, size - 1, step, true)) {
    __builtin_trap();
  }
  return 0;
}
