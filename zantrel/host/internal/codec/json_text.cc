#include "zantrel/host/internal/codec/json_text.h"

#include <cstdint>
#include <cstring>

namespace zantrel::host {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at `at`, or 0 when the bytes there are not one.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
  const std::uint8_t lead = byte(0);
  std::size_t length = 0;
  std::uint8_t min_second = 0x80;
  std::uint8_t max_second = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) min_second = 0xA0;  // no overlong forms
    if (lead == 0xED) max_second = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) min_second = 0x90;
    if (lead == 0xF4) max_second = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < min_second || byte(1) > max_second) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::optional<std::size_t> first_invalid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<std::uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = utf8_sequence_length(text, i);
    if (length == 0) return i;
    i += length;
  }
  return std::nullopt;
}

namespace {

// Walks `text` once, handing each output piece to `emit`.
template <class Emit>
void escape(std::string_view text, Emit&& emit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t plain_from = 0;
  std::size_t i = 0;
  const auto flush = [&] {
    if (i > plain_from) emit(text.substr(plain_from, i - plain_from));
  };
  while (i < text.size()) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, i);
      if (length > 0) {
        i += length;
        continue;
      }
      flush();
      emit(kReplacement);
      plain_from = ++i;
      continue;
    }
    flush();
    switch (c) {
      case '"':
        emit("\\\"");
        break;
      case '\\':
        emit("\\\\");
        break;
      case '\n':
        emit("\\n");
        break;
      case '\r':
        emit("\\r");
        break;
      case '\t':
        emit("\\t");
        break;
      default: {
        const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        emit(std::string_view(escaped, sizeof escaped));
      }
    }
    plain_from = ++i;
  }
  flush();
}

}  // namespace

char* write_json_string(char* out, std::string_view text) {
  *out++ = '"';
  escape(text, [&out](std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  });
  *out++ = '"';
  return out;
}

std::size_t json_string_size(std::string_view text) {
  std::size_t size = 2;
  escape(text, [&size](std::string_view piece) { size += piece.size(); });
  return size;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  escape(text, [&out](std::string_view piece) { out += piece; });
  out += '"';
}

}  // namespace zantrel::host
