// Base64, JSON string text and MIME sniffing.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/internal/codec/base64_avx2.h"
#include "zantrel/host/internal/codec/json_text.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::test_support {
namespace {

using host::as_text;

// Service times: fractions and zone offsets read, malformed texts refused, whole seconds written.
TEST(Rfc3339, ReadsTheServicesTimesAndWritesWholeSeconds) {
  using host::format_rfc3339;
  using host::parse_rfc3339;
  using std::chrono::system_clock;
  const auto at = [](long long seconds, long long micros = 0) {
    return system_clock::time_point(std::chrono::seconds(seconds) +
                                    std::chrono::microseconds(micros));
  };
  const struct {
    const char* text;
    std::optional<system_clock::time_point> time;
  } cases[] = {
      {"2026-12-11T15:30:00Z", at(1797003000)},
      {"2026-12-11T15:30:00.123456Z", at(1797003000, 123456)},
      {"2026-12-11T16:30:00+01:00", at(1797003000)},
      {"2026-12-11t15:30:00z", at(1797003000)},
      {"1970-01-01T00:00:00Z", at(0)},
      {"2026-02-30T00:00:00Z", std::nullopt},
      {"2026-12-11T15:30:00", std::nullopt},
      {"2026-12-11 15:30:00Z", std::nullopt},
      {"2026-12-11T15:30:00.Z", std::nullopt},
      {"2026-12-11T25:30:00Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_rfc3339(c.text), c.time) << c.text;
  EXPECT_EQ(format_rfc3339(at(1797003000, 999999)), "2026-12-11T15:30:00Z");
  EXPECT_EQ(parse_rfc3339(format_rfc3339(at(1797003000))), at(1797003000));
}

TEST(Base64, RoundTripsEveryLengthAroundAGroup) {
  std::mt19937 random(7);
  for (std::size_t n = 0; n < 70; ++n) {
    host::Bytes raw(n);
    for (auto& b : raw) b = static_cast<std::uint8_t>(random());
    const std::string text = host::base64_encode(raw);
    EXPECT_EQ(text.size(), host::base64_encoded_size(n));
    EXPECT_EQ(host::base64_decode(text), raw) << n;
  }
}

TEST(Base64, LenientDecoding) {
  const struct {
    const char* text;
    const char* decoded;
  } cases[] = {
      {"", ""},
      {"YQ==", "a"},
      {"YWI=", "ab"},
      {"YWJj", "abc"},
      {"YW\nJj", "abc"},           // line breaks are skipped
      {"Y W J j", "abc"},          // so are blanks
      {"YW*Jj!", "abc"},           // and anything else outside the alphabet
      {"  YWJjZA==  ", "abcd"},    // leading and trailing blanks
      {"YQ==\r\n", "a"},           // a line break after the padding
      {"YWJj\r\nZGVm", "abcdef"},  // wrapped lines
  };
  for (const auto& c : cases) {
    EXPECT_EQ(as_text(host::base64_decode(c.text)), c.decoded) << c.text;
  }
}

// Refused rather than decoded in part: nothing of the text may be dropped silently.
TEST(Base64, RefusesTextItCannotDecodeWhole) {
  for (const char* text : {"Y", "YQ", "YWJ", "YWJjZ", "YQ=", "a=bc", "YW=j",      // not whole
                           "=", "====", "=QUJD", "QUJD=QUJD", "QUJD====",         // stray padding
                           "YQ==trailing", "QQ==QQ==", "YWI==", "YQ==\nYQ=="}) {  // data after it
    EXPECT_THROW(host::base64_decode(text), host::Base64Error) << text;
  }
}

// Plain one-group-at-a-time encoder: the oracle for the vector kernels.
std::string reference_encode(const host::Bytes& raw) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < raw.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, raw.size() - i);
    std::uint32_t group = std::uint32_t{raw[i]} << 16;
    if (n > 1) group |= std::uint32_t{raw[i + 1]} << 8;
    if (n > 2) group |= raw[i + 2];
    for (std::size_t k = 0; k < 4; ++k) {
      text.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
  }
  return text;
}

TEST(Base64, MatchesAPlainEncoderAcrossBlockBoundariesAndLargeSizes) {
  std::mt19937 random(11);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n < 200; ++n) sizes.push_back(n);
  for (std::size_t n : {1000u, 4095u, 65536u, 1000003u}) sizes.push_back(n);
  for (std::size_t n : sizes) {
    host::Bytes raw(n);
    for (auto& b : raw) b = static_cast<std::uint8_t>(random());
    const std::string text = host::base64_encode(raw);
    ASSERT_EQ(text, reference_encode(raw)) << n;
    ASSERT_EQ(host::base64_decode(text), raw) << n;
  }
}

TEST(Base64, VectorDecoderStopsAtTheBlockOfAnyCharacterOutsideTheAlphabet) {
  if (!host::internal::avx2_available()) GTEST_SKIP() << "no AVX2 on this processor";
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint8_t out[96];
  for (int c = 0; c < 256; ++c) {
    const bool in_alphabet = alphabet.find(static_cast<char>(c)) != std::string::npos;
    for (std::size_t at : {0u, 17u, 31u, 32u, 63u}) {
      std::string text = alphabet + alphabet.substr(0, 32) + alphabet.substr(32);  // 128 chars
      text[at] = static_cast<char>(c);
      const std::size_t done = host::internal::avx2_decode_prefix(text.data(), text.size(), out);
      EXPECT_EQ(done, in_alphabet ? text.size() : at / 32 * 32) << c << " at " << at;
    }
  }
}

TEST(Base64, LongTextsWithBreaksOrPaddingDecodeLikeShortOnes) {
  std::mt19937 random(5);
  host::Bytes raw(3000);
  for (auto& b : raw) b = static_cast<std::uint8_t>(random());
  const std::string text = host::base64_encode(raw);
  std::string wrapped;  // 76-column lines, as mail encoders write them
  for (std::size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
  EXPECT_EQ(host::base64_decode(wrapped), raw);
  host::Bytes odd(raw.begin(), raw.begin() + 1000);  // 1000 bytes: text ends in "=="
  const std::string padded = host::base64_encode(odd);
  ASSERT_EQ(padded.substr(padded.size() - 2), "==");
  EXPECT_EQ(host::base64_decode(padded), odd);
  EXPECT_THROW(host::base64_decode(padded + "more data"), host::Base64Error);
  EXPECT_THROW(host::base64_decode(text.substr(0, text.size() - 1)), host::Base64Error);
}

// Decoding under the text itself, in the buffer it arrived in: the same bytes as a fresh
// decode for every tail, padding, offset and wrapping, and a refusal (never a cut) otherwise.
TEST(Base64, DecodesInPlaceLikeIntoAFreshBuffer) {
  std::mt19937 random(7);
  for (std::size_t length : {0, 1, 2, 3, 4, 5, 23, 24, 25, 47, 48, 49, 100, 1000, 70000}) {
    host::Bytes raw(length);
    for (auto& b : raw) b = static_cast<std::uint8_t>(random());
    const std::string text = host::base64_encode(raw);
    std::string wrapped;
    for (std::size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
    for (const std::string* form : std::vector<const std::string*>{&text, &wrapped}) {
      for (std::size_t offset : {0, 1, 9, 100}) {
        host::Bytes buffer = host::to_bytes(std::string(offset, '{') + *form + "\"}");
        const std::string_view inside(reinterpret_cast<const char*>(buffer.data()) + offset,
                                      form->size());
        const host::Bytes decoded = host::base64_decode_in_place(buffer, inside);
        EXPECT_TRUE(decoded == raw) << length << " at " << offset;
        if (length == 0) {
          EXPECT_EQ(buffer.size(), offset + 2);  // untouched
        }
      }
    }
  }
  for (const char* refused : {"QUJD=QUJD", "QQ==QQ==", "====", "QUJDQ"}) {
    host::Bytes buffer = host::to_bytes(std::string("xx") + refused);
    const std::string_view inside(reinterpret_cast<const char*>(buffer.data()) + 2,
                                  std::strlen(refused));
    EXPECT_THROW((void)host::base64_decode_in_place(buffer, inside), host::Base64Error) << refused;
  }
}

TEST(JsonText, EscapesWhatJsonRequiresAndReplacesBrokenUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", R"("plain")"},
      {"q\"b\\s/", R"("q\"b\\s/")"},
      {"\n\r\t\x01\x1f", R"("\n\r\t\u0001\u001f")"},
      {"日本 ✓ 😀", "\"日本 ✓ 😀\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                                  // truncated sequence
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // surrogate
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong
      {std::string("nul\0in", 6), R"("nul\u0000in")"},
  };
  for (const auto& c : cases) {
    std::string appended;
    host::append_json_string(appended, c.in);
    EXPECT_EQ(appended, c.out);
    EXPECT_EQ(host::json_string_size(c.in), c.out.size());
    std::string written(c.out.size(), '?');
    EXPECT_EQ(host::write_json_string(written.data(), c.in), written.data() + written.size());
    EXPECT_EQ(written, c.out);
    // Valid JSON whose text is the input, less what had to be replaced.
    const auto parsed = nlohmann::json::parse(appended);
    if (c.out.find("\xEF\xBF\xBD") == std::string::npos) {
      EXPECT_EQ(parsed.get<std::string>(), c.in);
    }
  }
}

TEST(SniffImageMime, KnownSignaturesAndNothingElse) {
  const struct {
    std::string bytes;
    std::optional<std::string_view> mime;
    std::string_view extension;
  } cases[] = {
      {std::string("\x89PNG\r\n\x1a\nrest", 12), "image/png", "png"},
      {"\xFF\xD8\xFF", "image/jpeg", "jpg"},
      {"GIF89a", "image/gif", "gif"},
      // NOLINTNEXTLINE(bugprone-string-literal-with-embedded-nul): the cut is the case
      {"RIFF\0\0\0\0WEBPVP8", std::nullopt, "bin"},  // a NUL cuts the literal: too short
      {std::string("RIFF\0\0\0\0WEBPVP8", 15), "image/webp", "webp"},
      {"BM", std::nullopt, "bin"},
      {"", std::nullopt, "bin"},
  };
  for (const auto& c : cases) {
    const auto mime = host::sniff_image_mime(host::as_bytes(c.bytes));
    EXPECT_EQ(mime, c.mime) << c.bytes;
    EXPECT_EQ(host::image_extension(mime), c.extension);
  }
}

}  // namespace
}  // namespace zantrel::test_support
