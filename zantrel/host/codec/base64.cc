#include "zantrel/host/codec/base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "zantrel/host/internal/codec/base64_avx2.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

// The codec takes int lengths; work in chunks that are whole base64 groups.
constexpr std::size_t kEncodeChunk = std::size_t{3} << 24;  // bytes in, 48 MiB
constexpr std::size_t kDecodeChunk = std::size_t{4} << 24;  // characters in, 64 MiB

constexpr std::array<bool, 256> make_alphabet() {
  std::array<bool, 256> table{};
  for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<unsigned char>(c)] = true;
  for (char c = 'a'; c <= 'z'; ++c) table[static_cast<unsigned char>(c)] = true;
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
  table['+'] = true;
  table['/'] = true;
  return table;
}
constexpr std::array<bool, 256> kAlphabet = make_alphabet();

// Decodes whole groups of clean text (length a multiple of 4, only alphabet and trailing "=").
// Returns the number of bytes written, padding excluded.
std::size_t decode_clean(std::string_view text, std::uint8_t* out) {
  // Counted first: decoding in place may overwrite the text.
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  std::size_t written = 0;
  for (std::size_t at = 0; at < text.size(); at += kDecodeChunk) {
    const std::size_t n = std::min(kDecodeChunk, text.size() - at);
    const int got =
        EVP_DecodeBlock(out + written, reinterpret_cast<const unsigned char*>(text.data() + at),
                        static_cast<int>(n));
    if (got < 0) throw Base64Error("invalid base64 data");
    written += static_cast<std::size_t>(got);
  }
  return written - padding;
}

// True when `text` is whole groups of the alphabet, with up to two "=" at its very end: what the
// codec decodes without failing (so without writing a partial output first).
bool is_clean(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  std::size_t end = text.size();
  for (int pad = 0; pad < 2 && end > 0 && text[end - 1] == '='; ++pad) --end;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end),
                     [](char c) { return kAlphabet[static_cast<unsigned char>(c)]; });
}

Bytes decode_slow(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  std::size_t padding = 0;
  bool complete = false;  // the padding has made the last group whole
  for (char c : text) {
    const bool alphabet = kAlphabet[static_cast<unsigned char>(c)];
    if (c != '=' && !alphabet) continue;  // line breaks and other separators
    // Nothing may follow the padding but separators: data after it would be lost.
    if (complete) throw Base64Error("invalid base64 data: data after the padding");
    if (c == '=') {
      // Padding only completes a group holding two or three characters.
      if (padding == 0 && clean.size() % 4 < 2) {
        throw Base64Error("invalid base64 data: padding where no group needs it");
      }
      ++padding;
      complete = clean.size() % 4 + padding == 4;
      continue;
    }
    if (padding > 0) throw Base64Error("invalid base64 data: data inside the padding");
    clean.push_back(c);
  }
  const std::size_t rest = clean.size() % 4;
  if (rest == 1) throw Base64Error("invalid base64 data: truncated group");
  if (rest != 0) {
    if (rest + padding < 4) throw Base64Error("invalid base64 data: incorrect padding");
    clean.append(4 - rest, '=');
  }
  Bytes out(clean.size() / 4 * 3);
  out.resize(decode_clean(clean, out.data()));
  return out;
}

}  // namespace

char* base64_encode_into(ByteView in, char* out) {
  std::size_t start = 0;
  if (internal::avx2_available()) {
    start = internal::avx2_encode_prefix(in.data(), in.size(), out);
    out += start / 3 * 4;
  }
  for (std::size_t at = start; at < in.size(); at += kEncodeChunk) {
    const std::size_t n = std::min(kEncodeChunk, in.size() - at);
    const int got =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), in.data() + at, static_cast<int>(n));
    out += got;
  }
  *out = '\0';
  return out;
}

std::string base64_encode(ByteView in) {
  std::string out;
  out.resize(base64_encoded_size(in.size()));
  // std::string keeps room for its terminating NUL, which the codec writes.
  base64_encode_into(in, out.data());
  return out;
}

std::size_t base64_decode_into(std::string_view text, std::uint8_t* out) {
  // The vector kernel takes every whole block of pure alphabet; the padding, a short tail, or
  // anything else it stops at go to the scalar codec. Both write forward, never past what they
  // have read, so `out` may lie under the text itself.
  const std::size_t done =
      internal::avx2_available() ? internal::avx2_decode_prefix(text.data(), text.size(), out) : 0;
  std::uint8_t* tail = out + done / 4 * 3;
  const std::string_view rest = text.substr(done);
  if (is_clean(rest)) return done / 4 * 3 + decode_clean(rest, tail);
  // Separators or padding inside: the whole rest is read before anything of it is written.
  const Bytes decoded = decode_slow(rest);
  if (!decoded.empty()) std::memcpy(tail, decoded.data(), decoded.size());
  return done / 4 * 3 + decoded.size();
}

Bytes base64_decode(std::string_view text) {
  Bytes out(text.size() / 4 * 3);
  out.resize(base64_decode_into(text, out.data()));
  return out;
}

Bytes base64_decode_in_place(Bytes& buffer, std::string_view text) {
  const std::size_t n = base64_decode_into(text, buffer.data());
  if (n == 0) return {};  // nothing was written: the buffer still holds its text
  buffer.resize(n);
  internal::release_spare_pages(buffer);
  return std::move(buffer);
}

}  // namespace zantrel::host
