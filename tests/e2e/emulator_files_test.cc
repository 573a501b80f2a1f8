// The emulator's Files API as the resumable protocol has it: a session started with the size,
// bytes taken only at the offset received so far, a short finalize refused, a query after the
// end naming the file, and a kept file described until it expires.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"

namespace zantrel {
namespace {

using json = nlohmann::ordered_json;

TEST(EmulatorFiles, TheResumableProtocolStepByStep) {
  emulator::Emulator emulator;
  emulator.start();
  const std::string base = emulator.base_url();
  host::CurlHttpClient http;
  const auto post = [&](const std::string& url, host::Headers headers, std::string body) {
    headers.emplace_back("Content-Type", "application/octet-stream");
    host::PostRequest request;
    request.headers = std::move(headers);
    request.body = host::JsonBody::of(body);
    return http.post(url, request);
  };
  const auto started = post(base + "/upload/v1beta/files",
                            {{"x-goog-api-key", "k"},
                             {"X-Goog-Upload-Protocol", "resumable"},
                             {"X-Goog-Upload-Command", "start"},
                             {"X-Goog-Upload-Header-Content-Length", "10"},
                             {"X-Goog-Upload-Header-Content-Type", "image/png"}},
                            R"({"file":{"displayName":"ten"}})");
  ASSERT_EQ(started.status_code, 200);
  const std::string session(started.header("x-goog-upload-url").value_or(""));
  ASSERT_TRUE(session.starts_with(base + "/upload/v1beta/files?upload_id=")) << session;

  const auto command = [&](const char* what, const char* offset, std::string body) {
    host::Headers headers = {{"X-Goog-Upload-Command", what}};
    if (offset != nullptr) headers.emplace_back("X-Goog-Upload-Offset", offset);
    return post(session, headers, std::move(body));
  };
  const struct {
    const char* name;
    const char* command;
    const char* offset;
    std::string body;
    int status;
    const char* upload_status;  // nullptr: none expected
    const char* received;
  } steps[] = {
      {"the first half", "upload", "0", "01234", 200, "active", "5"},
      {"at the wrong offset", "upload", "3", "34567", 400, nullptr, nullptr},
      {"finalized short", "upload, finalize", "5", "567", 400, nullptr, nullptr},
      {"past the size", "upload", "5", "5678901234", 400, nullptr, nullptr},
      {"asked how far", "query", nullptr, "", 200, "active", "5"},
      {"the rest, finalized", "upload, finalize", "5", "56789", 200, "final", "10"},
      {"asked after the end", "query", nullptr, "", 200, "final", "10"},
  };
  std::string uri;
  for (const auto& step : steps) {
    const auto answer = command(step.command, step.offset, step.body);
    EXPECT_EQ(answer.status_code, step.status) << step.name << ": " << answer.text();
    if (step.upload_status != nullptr) {
      EXPECT_EQ(answer.header("X-Goog-Upload-Status"), step.upload_status) << step.name;
      EXPECT_EQ(answer.header("X-Goog-Upload-Size-Received"), step.received) << step.name;
    }
    if (step.upload_status != nullptr && std::string_view(step.upload_status) == "final") {
      const json file = json::parse(answer.text())["file"];
      EXPECT_EQ(file["sizeBytes"], "10") << step.name;
      EXPECT_EQ(file["displayName"], "ten") << step.name;
      uri = file["uri"];
    }
  }
  EXPECT_EQ(emulator.file_uploads(), 1u);
  EXPECT_EQ(emulator.file_bytes_uploaded(), 10u);
  host::GetRequest get;
  get.headers = {{"x-goog-api-key", "k"}};
  EXPECT_EQ(http.get(uri, get).status_code, 200);
  EXPECT_EQ(http.get(base + "/v1beta/files/nothing", get).status_code, 403);
  EXPECT_EQ(
      post(base + "/upload/v1beta/files?upload_id=nope", {{"X-Goog-Upload-Command", "query"}}, "")
          .status_code,
      404);
}

}  // namespace
}  // namespace zantrel
