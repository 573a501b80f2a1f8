// A real edits request through libcurl, read back byte for byte by an in-process server.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/loopback_server.h"
#include "tests/support/test_data.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

// One part of the form as the server read it.
struct Part {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string body;
};

TEST(EditsOverLoopback, TheServerReadsFieldsThenTypedFilePartsWithExactBytes) {
  std::string seen_type, seen_auth;
  std::vector<Part> parts;
  LoopbackServer server;
  server.http.Post("/v1/images/edits", [&](const httplib::Request& req, httplib::Response& res,
                                           const httplib::ContentReader& read) {
    seen_type = req.get_header_value("Content-Type");
    seen_auth = req.get_header_value("Authorization");
    // Every part in the order it arrives, with its headers and exact bytes.
    read(
        [&](const httplib::MultipartFormData& header) {
          parts.push_back({header.name, header.filename, header.content_type, {}});
          return true;
        },
        [&](const char* data, std::size_t length) {
          parts.back().body.append(data, length);
          return true;
        });
    const std::string image(std::string("\x89PNG\r\n\x1a\n", 8) + "result");
    res.set_content(
        R"({"data":[{"b64_json":")" + host::base64_encode(host::as_bytes(image)) + "\"}]}",
        "application/json");
  });
  server.start();
  testkit::ScopedHttpClient installed(std::make_shared<host::CurlHttpClient>());
  auto logger = std::make_shared<testkit::CapturingLogger>();
  image::corvane::CorvaneClient client(server.url(""), "tok", {"GPT-IMAGE-2", logger});

  std::mt19937 random(3);
  host::Bytes big = png_bytes();
  big.resize(3 << 20);
  for (std::size_t i = 16; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(random());
  const host::Bytes jpeg = jpeg_bytes("\r\n--not-a-boundary\r\n");
  const auto result =
      client.start("make it blue", "", "high", "",
                   std::vector<host::Reference>{big, jpeg, host::to_bytes("GIF89a-gif")});

  ASSERT_TRUE(result.ok()) << nlohmann::ordered_json(logger->records()).dump(1);
  EXPECT_EQ(host::as_text(*result.bytes()), std::string("\x89PNG\r\n\x1a\n", 8) + "result");
  EXPECT_EQ(seen_auth, "Bearer tok");
  ASSERT_EQ(seen_type.rfind("multipart/form-data; boundary=", 0), 0u) << seen_type;
  ASSERT_EQ(parts.size(), 9u);
  const std::pair<const char*, const char*> fields[] = {{"model", "gpt-image-2"},
                                                        {"prompt", "make it blue"},
                                                        {"response_format", "b64_json"},
                                                        {"size", ""},
                                                        {"quality", "high"},
                                                        {"n", "1"}};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(parts[i].name, fields[i].first);
    EXPECT_EQ(parts[i].filename, "");
    EXPECT_EQ(parts[i].body, fields[i].second);
  }
  for (std::size_t i = 6; i < 9; ++i) EXPECT_EQ(parts[i].name, "image");
  EXPECT_EQ(parts[6].filename, "image-1.png");
  EXPECT_EQ(parts[6].content_type, "image/png");
  EXPECT_TRUE(parts[6].body == host::as_text(big));
  EXPECT_EQ(parts[7].filename, "image-2.jpg");
  EXPECT_EQ(parts[7].content_type, "image/jpeg");
  EXPECT_EQ(parts[7].body, host::as_text(jpeg));
  EXPECT_EQ(parts[8].filename, "image-3.gif");
  EXPECT_EQ(parts[8].content_type, "image/gif");
  EXPECT_EQ(parts[8].body, "GIF89a-gif");
}

}  // namespace
}  // namespace zantrel::test_support
