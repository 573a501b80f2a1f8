#include "bench/payloads.h"

#include <cstring>
#include <random>
#include <string>

#include "zantrel/host/codec/base64.h"

namespace zantrel::bench {

host::Bytes image_of(std::size_t size, unsigned seed) {
  host::Bytes image(size);
  std::mt19937_64 random(seed);
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(image.data() + i, &word, 8);
  }
  for (; i < size; ++i) image[i] = static_cast<std::uint8_t>(random());
  std::memcpy(image.data(), "\x89PNG\r\n\x1a\n", std::min<std::size_t>(8, size));
  return image;
}

std::vector<host::Bytes> references(std::size_t count, std::size_t size) {
  std::vector<host::Bytes> images;
  for (std::size_t i = 0; i < count; ++i) {
    images.push_back(image_of(size, static_cast<unsigned>(i + 1)));
  }
  return images;
}

host::Bytes gemini_body_with(const host::Bytes& image) {
  const std::string small = host::base64_encode(image_of(kMiB / 4, 99));
  const std::string text =
      R"({"candidates":[{"content":{"role":"model","parts":[{"text":"Here it is."},)"
      R"({"inlineData":{"mimeType":"image/png","data":")" +
      host::base64_encode(image) + R"("}},{"inlineData":{"mimeType":"image/png","data":")" + small +
      R"("}}]},"finishReason":"STOP","index":0}],"responseId":"r"})";
  host::Bytes body = host::to_bytes(text);
  body.reserve(body.size() + 64);
  return body;
}

host::Bytes images_body_with(const host::Bytes& image) {
  host::Bytes body = host::to_bytes(R"({"created":1,"data":[{"b64_json":")" +
                                    host::base64_encode(image) + "\"}]}");
  body.reserve(body.size() + 64);
  return body;
}

}  // namespace zantrel::bench
