// The server-sent events reader on any bytes: it stays inside its buffer, every event has its
// room behind it, and the events are the same whether the bytes come whole or in pieces (the
// first byte of the input picks the piece size).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "zantrel/host/internal/codec/sse_reader.h"

namespace {

using zantrel::host::internal::SseEvent;
using zantrel::host::internal::SseReader;

std::vector<std::string> events_of(const std::uint8_t* data, std::size_t size, std::size_t step) {
  SseReader reader;
  std::vector<std::string> out;
  const auto on_event = [&](const SseEvent& e) {
    if (e.readable < e.data.size() + 1 + zantrel::host::internal::kSsePadding) __builtin_trap();
    out.push_back(std::string(e.type) + '\0' + std::string(e.data) + '\0' + std::string(e.id));
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
  if (events_of(data + 1, size - 1, size) != events_of(data + 1, size - 1, step)) {
    __builtin_trap();
  }
  return 0;
}
