#include "zantrel/host/http/streamed_body.h"

#include <algorithm>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/codec/sha256.h"

namespace zantrel::host {
namespace {

std::size_t segment_size(const BodySegment& segment) noexcept {
  if (const auto* text = std::get_if<std::string>(&segment)) return text->size();
  if (const auto* raw = std::get_if<BytesOf>(&segment)) return raw->bytes.size();
  return base64_encoded_size(std::get<Base64Of>(segment).bytes.size());
}

}  // namespace

std::size_t StreamedBody::size() const noexcept {
  std::size_t total = 0;
  for (const BodySegment& segment : segments) total += segment_size(segment);
  return total;
}

std::size_t StreamedBodyReader::read(char* out, std::size_t space) {
  std::size_t written = 0;
  while (written < space) {
    if (group_at_ < group_end_) {  // the rest of a group cut by the previous read
      const std::size_t n = std::min(space - written, group_end_ - group_at_);
      std::copy_n(group_ + group_at_, n, out + written);
      group_at_ += n;
      written += n;
      continue;
    }
    if (segment_ == body_->segments.size()) break;
    const BodySegment& segment = body_->segments[segment_];
    if (offset_ == segment_size(segment)) {
      ++segment_;
      offset_ = 0;
      continue;
    }
    const std::size_t room = space - written;
    if (const auto* text = std::get_if<std::string>(&segment)) {
      const std::size_t n = std::min(room, text->size() - offset_);
      // Body bytes, not a C string: no terminator belongs after them.
      std::copy_n(text->data() + offset_, n, out + written);
      offset_ += n;
      written += n;
      continue;
    }
    if (const auto* raw = std::get_if<BytesOf>(&segment)) {
      const std::size_t n = std::min(room, raw->bytes.size() - offset_);
      std::copy_n(raw->bytes.data() + offset_, n, reinterpret_cast<std::uint8_t*>(out) + written);
      offset_ += n;
      written += n;
      continue;
    }
    const ByteView bytes = std::get<Base64Of>(segment).bytes;
    const std::size_t group = offset_ / 4;
    const std::size_t groups_left = (bytes.size() + 2) / 3 - group;
    // Whole groups straight into the output; the encoder also writes a NUL behind its text.
    const std::size_t groups = std::min(room > 4 ? (room - 1) / 4 : 0, groups_left);
    const std::size_t from = group * 3;
    if (groups > 0) {
      const std::size_t length = std::min(groups * 3, bytes.size() - from);
      base64_encode_into(bytes.subspan(from, length), out + written);
      offset_ += groups * 4;
      written += groups * 4;
    } else {
      base64_encode_into(bytes.subspan(from, std::min<std::size_t>(3, bytes.size() - from)),
                         group_);
      group_at_ = 0;
      group_end_ = 4;
      offset_ += 4;
    }
  }
  return written;
}

bool StreamedBodyReader::seek(std::size_t position) {
  segment_ = 0;
  offset_ = 0;
  group_at_ = group_end_ = 0;
  for (; segment_ < body_->segments.size(); ++segment_) {
    const BodySegment& segment = body_->segments[segment_];
    const std::size_t size = segment_size(segment);
    if (position >= size) {
      position -= size;
      continue;
    }
    if (!std::holds_alternative<Base64Of>(segment) || position % 4 == 0) {
      offset_ = position;
      return true;
    }
    // Inside a group: produce that group and skip what was already sent of it.
    const ByteView bytes = std::get<Base64Of>(segment).bytes;
    const std::size_t from = position / 4 * 3;
    base64_encode_into(bytes.subspan(from, std::min<std::size_t>(3, bytes.size() - from)), group_);
    group_at_ = position % 4;
    group_end_ = 4;
    offset_ = position / 4 * 4 + 4;
    return true;
  }
  return position == 0;
}

Bytes flatten(const StreamedBody& body) {
  Bytes out(body.size() + 1);  // room for the encoder's NUL
  StreamedBodyReader reader(body);
  const std::size_t n = reader.read(reinterpret_cast<char*>(out.data()), out.size());
  out.resize(n);
  return out;
}

std::string sha256_hex(const StreamedBody& body) {
  StreamedBodyReader reader(body);
  return sha256_hex([&reader](char* out, std::size_t space) { return reader.read(out, space); });
}

}  // namespace zantrel::host
