#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "zantrel/host/base/bytes.h"

// Reading a stream of server-sent events as it arrives; not part of the public API.
namespace zantrel::host::internal {

// One event of the stream.
struct SseEvent {
  std::string_view type;  // its "event:" field, else "message"
  // Its data lines joined by "\n". A view into the reader's buffer: valid during the handler.
  std::string_view data;
  std::string_view id;  // the last "id:" seen on the stream, else empty
  // Bytes that may be read from data.data() on: the data, a line end, then spare room of at
  // least kSsePadding, so that a parser reading a vector's width past the end stays inside.
  std::size_t readable = 0;
};

inline constexpr std::size_t kSsePadding = 64;

// Reads a byte stream of server-sent events (the HTML standard's form: lines ending in LF, CRLF
// or CR; "data", "event", "id" and "retry" fields; comments; a blank line ends an event) in the
// chunks it arrives in. Lines have no length limit. An event's bytes are kept once, in one
// buffer, and its data is handed over as a view into it: an event of tens of megabytes (a base64
// image) is neither copied nor rescanned as its chunks come in. Only data spread over several
// lines is joined into a buffer of its own.
class SseReader {
 public:
  using Handler = std::function<void(const SseEvent&)>;

  // `large_event_room`: once an event passes a few megabytes, the buffer is reserved this large
  // at once (address space; its pages come as they are written) instead of growing by copies,
  // each of which would hold the event twice for a moment. 0: grow by doubling.
  explicit SseReader(std::size_t large_event_room = 0) : large_event_room_(large_event_room) {}

  // Takes the next bytes of the stream; `on_event` gets every event they complete, in order.
  void feed(ByteView chunk, const Handler& on_event);
  // The stream ended: a last event without its blank line is handed over too (services often
  // end with the last data line).
  void finish(const Handler& on_event);

  // During a handler: hands over the buffer that holds the event's data (the views of the
  // event stay valid in it), so that a large event can be decoded where it lies and kept
  // without a copy. The rest of the stream goes on in a new buffer. Empty for data that was
  // spread over several lines (held apart) or outside a handler.
  Bytes take_buffer();
  // Forgets everything read: the next byte begins a new stream.
  void reset();

  // Events handed over so far.
  std::size_t events() const noexcept { return events_; }
  // Bytes held for the event not yet complete.
  std::size_t pending_bytes() const noexcept { return buffer_.size(); }

 private:
  // Reads the complete lines from scan_from_ on; stops at a line with no end yet.
  void read_lines(const Handler& on_event);
  void take_line(std::size_t begin, std::size_t end, const Handler& on_event);
  void dispatch(const Handler& on_event);
  // Drops the bytes before the current line, keeping the started event's data where it is
  // relative to them.
  void compact();

  std::size_t large_event_room_;
  Bytes buffer_;
  std::size_t line_start_ = 0;  // the line being read
  std::size_t line_next_ = 0;   // where the line after it begins
  bool dispatching_ = false;
  bool taken_ = false;
  std::size_t scan_from_ = 0;  // where the search for its end goes on
  bool skip_lf_ = false;       // the last line ended in CR: a LF right after belongs to it
  // The event being read: the one data line (offsets into buffer_), or several joined.
  std::size_t data_begin_ = 0;
  std::size_t data_end_ = 0;
  int data_lines_ = 0;
  std::string joined_;
  std::string type_;
  std::string id_;
  std::size_t events_ = 0;
};

}  // namespace zantrel::host::internal
