#include "zantrel/host/internal/codec/sse_reader.h"

#include <algorithm>
#include <cstring>

namespace zantrel::host::internal {
namespace {

const char* as_chars(const Bytes& bytes) { return reinterpret_cast<const char*>(bytes.data()); }

// An event past this size is taken to be a large one (an image): see large_event_room.
constexpr std::size_t kLargeEvent = std::size_t{4} << 20;

}  // namespace

void SseReader::feed(ByteView chunk, const Handler& on_event) {
  if (chunk.empty()) return;
  std::size_t from = 0;
  if (skip_lf_) {
    skip_lf_ = false;
    if (chunk.front() == '\n') from = 1;
  }
  // Room for the padding behind any event is kept from the start, so handing one over never
  // moves the buffer.
  const std::size_t needed = buffer_.size() + (chunk.size() - from) + kSsePadding + 1;
  if (buffer_.capacity() < needed) {
    std::size_t target = std::max(needed, buffer_.capacity() * 2);
    if (needed > kLargeEvent) target = std::max(target, large_event_room_);
    buffer_.reserve(target);
  }
  buffer_.insert(buffer_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(from), chunk.end());
  read_lines(on_event);
  compact();
}

void SseReader::finish(const Handler& on_event) {
  if (line_start_ < buffer_.size()) {
    // The last line had no end: one is added, so its data is followed by a line end too.
    buffer_.reserve(buffer_.size() + kSsePadding + 1);
    buffer_.push_back('\n');
    read_lines(on_event);
  }
  line_next_ = buffer_.size();
  if (data_lines_ > 0) dispatch(on_event);
  taken_ = false;
  buffer_.clear();
  line_start_ = scan_from_ = 0;
}

Bytes SseReader::take_buffer() {
  if (!dispatching_ || taken_ || data_lines_ != 1) return {};
  Bytes rest;
  const std::size_t tail = buffer_.size() - line_next_;
  rest.reserve(tail + kSsePadding + 1);
  rest.insert(rest.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(line_next_), buffer_.end());
  taken_ = true;
  Bytes taken = std::move(buffer_);
  buffer_ = std::move(rest);
  return taken;
}

void SseReader::reset() {
  buffer_ = Bytes();
  line_start_ = line_next_ = scan_from_ = 0;
  skip_lf_ = false;
  data_begin_ = data_end_ = 0;
  data_lines_ = 0;
  joined_.clear();
  type_.clear();
  id_.clear();
}

void SseReader::read_lines(const Handler& on_event) {
  const char* base = as_chars(buffer_);
  std::size_t size = buffer_.size();
  while (scan_from_ < size) {
    const char* start = base + scan_from_;
    const std::size_t left = size - scan_from_;
    const void* lf = std::memchr(start, '\n', left);
    const std::size_t to_lf =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : left;
    const void* cr = std::memchr(start, '\r', to_lf);
    if (lf == nullptr && cr == nullptr) {
      scan_from_ = size;  // the line goes on in the next chunk
      return;
    }
    const std::size_t end =
        scan_from_ + (cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : to_lf);
    std::size_t next = end + 1;
    if (cr != nullptr) {
      if (next < size && base[next] == '\n') {
        ++next;
      } else if (next == size) {
        skip_lf_ = true;  // a LF in the next chunk ends this same line
      }
    }
    line_next_ = next;
    take_line(line_start_, end, on_event);
    if (taken_) {
      // The handler kept the buffer: what followed the event is now at the start of a new one.
      taken_ = false;
      base = as_chars(buffer_);
      size = buffer_.size();
      next = 0;
    }
    line_start_ = scan_from_ = next;
  }
}

void SseReader::take_line(std::size_t begin, std::size_t end, const Handler& on_event) {
  const std::string_view line(as_chars(buffer_) + begin, end - begin);
  if (line.empty()) {
    if (data_lines_ > 0) dispatch(on_event);
    type_.clear();
    return;
  }
  if (line.front() == ':') return;  // a comment (keep-alive)
  const std::size_t colon = line.find(':');
  const std::string_view field = line.substr(0, colon);
  std::size_t value_at = colon == std::string_view::npos ? line.size() : colon + 1;
  if (value_at < line.size() && line[value_at] == ' ') ++value_at;
  const std::string_view value = line.substr(value_at);
  if (field == "data") {
    if (data_lines_ == 0) {
      data_begin_ = begin + value_at;
      data_end_ = end;
    } else {
      if (data_lines_ == 1) {
        joined_.assign(as_chars(buffer_) + data_begin_, data_end_ - data_begin_);
      }
      joined_.push_back('\n');
      joined_.append(value);
    }
    ++data_lines_;
  } else if (field == "event") {
    type_.assign(value);
  } else if (field == "id") {
    if (value.find('\0') == std::string_view::npos) id_.assign(value);
  }
  // "retry" and unknown fields are not used.
}

void SseReader::dispatch(const Handler& on_event) {
  SseEvent event;
  event.type = type_.empty() ? std::string_view("message") : std::string_view(type_);
  event.id = id_;
  if (data_lines_ == 1) {
    const char* data = as_chars(buffer_) + data_begin_;
    event.data = std::string_view(data, data_end_ - data_begin_);
    event.readable = buffer_.capacity() - data_begin_;
  } else {
    const std::size_t length = joined_.size();
    joined_.reserve(length + kSsePadding + 1);
    joined_.push_back('\n');
    event.data = std::string_view(joined_.data(), length);
    event.readable = joined_.capacity();
  }
  ++events_;
  dispatching_ = true;
  try {
    on_event(event);
  } catch (...) {
    dispatching_ = false;
    throw;
  }
  dispatching_ = false;
  // After the handler: the event's views point into these.
  data_lines_ = 0;
  type_.clear();
  joined_.clear();
}

void SseReader::compact() {
  // What the started event needs: its data line onwards, else the current line onwards.
  const std::size_t keep = data_lines_ == 1 ? std::min(data_begin_, line_start_) : line_start_;
  if (keep == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(keep));
  line_start_ -= keep;
  scan_from_ -= keep;
  if (data_lines_ == 1) {
    data_begin_ -= keep;
    data_end_ -= keep;
  }
}

}  // namespace zantrel::host::internal
