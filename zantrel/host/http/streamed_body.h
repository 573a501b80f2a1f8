#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// A part of a streamed body whose bytes go out as their base64 text (RFC 4648, padded). The
// bytes are borrowed: they must outlive the post.
struct Base64Of {
  ByteView bytes;
};

// A part of a streamed body sent as the bytes are (a file upload). Borrowed, as Base64Of.
struct BytesOf {
  ByteView bytes;
};

using BodySegment = std::variant<std::string, Base64Of, BytesOf>;

// A body sent in pieces: texts and bytes as they are, and the base64 of the caller's bytes,
// encoded as the socket takes them, so the whole body is never held at once. Its length is known up
// front.
struct StreamedBody {
  std::vector<BodySegment> segments;

  // The exact number of bytes on the wire.
  std::size_t size() const noexcept;
};

// Produces a streamed body's bytes in order, any number at a time; what an HTTP stack's upload
// callback calls.
class StreamedBodyReader {
 public:
  explicit StreamedBodyReader(const StreamedBody& body) : body_(&body) {}

  // Writes up to `space` next bytes to `out`; returns how many (0 at the end).
  std::size_t read(char* out, std::size_t space);
  // Continues from byte `position` of the body (for a resend); false when it lies past the end.
  bool seek(std::size_t position);

 private:
  const StreamedBody* body_;
  std::size_t segment_ = 0;
  // Bytes of the current segment already produced (for base64: always whole groups, the group
  // being drained from `group_` included).
  std::size_t offset_ = 0;
  char group_[5] = {};  // one encoded group, for reads with room for less than a group
  std::size_t group_at_ = 0;
  std::size_t group_end_ = 0;
};

// The whole body as bytes: for an HttpClient of a host's own that sends bodies in one piece.
Bytes flatten(const StreamedBody& body);

// The SHA-256 of the body's bytes on the wire (lower-case hex), read through without holding it.
std::string sha256_hex(const StreamedBody& body);

}  // namespace zantrel::host
