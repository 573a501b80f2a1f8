#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "zantrel/host/call/report_builder.h"
#include "zantrel/host/images/image_header.h"

namespace zantrel::test_support {
namespace {

using host::ImageDimensions;

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string le(std::uint32_t v, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * i));
  return out;
}

std::string png(std::uint32_t w, std::uint32_t h) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IHDR" + be32(w) + be32(h) +
         std::string("\x08\x06\0\0\0", 5);
}
// APP0 segment first, then a baseline or progressive frame header.
std::string jpeg(std::uint16_t w, std::uint16_t h, char frame = '\xc0') {
  return std::string("\xff\xd8\xff\xe0\x00\x10JFIF\0\x01\x01\0\0\x01\0\x01\0\0", 20) + "\xff" +
         frame + std::string("\x00\x11\x08", 3) + static_cast<char>(h >> 8) + static_cast<char>(h) +
         static_cast<char>(w >> 8) + static_cast<char>(w) + "\x03";
}
std::string gif(std::uint16_t w, std::uint16_t h) {
  return "GIF89a" + le(w, 2) + le(h, 2) + "\xf7";
}
std::string riff(const std::string& chunk) { return "RIFF" + le(100, 4) + "WEBP" + chunk; }
std::string vp8(std::uint16_t w, std::uint16_t h) {
  return riff("VP8 " + le(50, 4) + std::string("\x10\x02\x00\x9d\x01\x2a", 6) + le(w, 2) +
              le(h, 2));
}
std::string vp8l(std::uint32_t w, std::uint32_t h) {
  return riff("VP8L" + le(50, 4) + "\x2f" + le((w - 1) | (h - 1) << 14, 4));
}
std::string vp8x(std::uint32_t w, std::uint32_t h) {
  return riff("VP8X" + le(10, 4) + std::string(4, '\0') + le(w - 1, 3) + le(h - 1, 3));
}

TEST(ImageHeader, DimensionsOfEveryKnownFormOrNothing) {
  const struct {
    const char* name;
    std::string bytes;
    std::optional<ImageDimensions> expected;
  } cases[] = {
      {"png", png(2048, 1152), ImageDimensions{2048, 1152}},
      {"png cut in IHDR", png(2048, 1152).substr(0, 20), std::nullopt},
      {"png without IHDR first",
       std::string("\x89PNG\r\n\x1a\n", 8) + be32(13) + "IDAT" + be32(1) + be32(1), std::nullopt},
      {"jpeg baseline after APP0", jpeg(1024, 768), ImageDimensions{1024, 768}},
      {"jpeg progressive", jpeg(640, 480, '\xc2'), ImageDimensions{640, 480}},
      {"jpeg cut in the frame", jpeg(640, 480).substr(0, 26), std::nullopt},
      {"jpeg with only DHT before scan", std::string("\xff\xd8\xff\xc4\x00\x02\xff\xda", 8),
       std::nullopt},
      {"gif", gif(320, 200), ImageDimensions{320, 200}},
      {"gif cut", gif(320, 200).substr(0, 8), std::nullopt},
      {"webp lossy", vp8(1536, 1024), ImageDimensions{1536, 1024}},
      {"webp lossless", vp8l(4096, 3), ImageDimensions{4096, 3}},
      {"webp extended", vp8x(16384, 9000), ImageDimensions{16384, 9000}},
      {"webp cut", vp8x(10, 10).substr(0, 27), std::nullopt},
      {"webp lossy without its start code",
       riff("VP8 " + le(50, 4) + std::string(6, '\0') + le(8, 2) + le(8, 2)), std::nullopt},
      {"zero width", png(0, 10), std::nullopt},
      {"unknown", "BM1234567890123456789012345", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::read_image_dimensions(host::as_bytes(c.bytes)), c.expected) << c.name;
  }
}

TEST(ImageHeader, RatioMatchesWithinOnePercent) {
  const struct {
    ImageDimensions size;
    const char* asked;
    std::optional<bool> expected;
  } cases[] = {
      {{2048, 1152}, "16:9", true},      {{1024, 688}, "3:2", true},  // 1.488 vs 1.5
      {{1024, 1024}, "16:9", false},     {{1024, 1536}, "1024x1536", true},
      {{1000, 1000}, "1010x1000", true}, {{1000, 1000}, "1020x1000", false},
      {{10, 10}, "", std::nullopt},      {{10, 10}, "auto", std::nullopt},
      {{10, 10}, "0:1", std::nullopt},   {{10, 10}, "4:3:2", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::ratio_matches(c.size, c.asked), c.expected) << c.asked;
  }
}

TEST(RetryHints, HeadersAndDurations) {
  const auto now = std::chrono::system_clock::from_time_t(1445412480);  // 21 Oct 2015 07:28:00
  const struct {
    host::Headers headers;
    std::optional<double> seconds;
  } cases[] = {
      {{{"Retry-After", "20"}}, 20.0},
      {{{"retry-after", "1.5"}}, 1.5},
      {{{"Retry-After", "20"}, {"retry-after-ms", "1500"}}, 1.5},  // the finer one wins
      {{{"Retry-After", "Wed, 21 Oct 2015 07:28:30 GMT"}}, 30.0},
      {{{"Retry-After", "Wed, 21 Oct 2015 07:27:00 GMT"}}, 0.0},  // already past
      {{{"Retry-After", "soon"}}, std::nullopt},
      {{{"Retry-After", "-3"}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    host::HttpResponse response;
    response.headers = c.headers;
    EXPECT_EQ(host::internal::retry_after_seconds(response, now), c.seconds)
        << (c.headers.empty() ? "none" : c.headers.back().second);
  }
  EXPECT_EQ(host::internal::duration_seconds("17s"), 17.0);
  EXPECT_EQ(host::internal::duration_seconds("0.25s"), 0.25);
  EXPECT_EQ(host::internal::duration_seconds("17"), std::nullopt);
  EXPECT_EQ(host::internal::duration_seconds("s"), std::nullopt);
}

}  // namespace
}  // namespace zantrel::test_support
