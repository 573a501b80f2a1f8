// The Files API upload as the client drives it, over scripted answers: refusals become the
// service's error, a session address elsewhere gets nothing, and a cut upload goes on from the
// byte the service says it holds, a bounded number of times.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/internal/file_upload.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;

constexpr char kSession[] = "http://g/upload/v1beta/files?upload_id=u1";
constexpr char kFile[] =
    R"({"file":{"name":"files/f1","uri":"http://g/v1beta/files/f1","mimeType":"image/png",)"
    R"("expirationTime":"2099-01-01T00:00:00Z","state":"ACTIVE"}})";
constexpr char kImage[] =
    R"({"candidates":[{"content":{"parts":[{"inlineData":{"mimeType":"image/png","data":"iVBORw0KGgo="}}]}}]})";

testkit::Reply started(std::string address = kSession) {
  return testkit::Reply::json(200, "",
                              {{"X-Goog-Upload-Status", "active"}, {"x-goog-upload-url", address}});
}
testkit::Reply received(int bytes) {
  return testkit::Reply::json(
      200, "",
      {{"X-Goog-Upload-Status", "active"}, {"X-Goog-Upload-Size-Received", std::to_string(bytes)}});
}
testkit::Reply finished() {
  return testkit::Reply::json(200, kFile, {{"X-Goog-Upload-Status", "final"}});
}

std::optional<std::string> header(const testkit::RecordedRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

TEST(FileUpload, RefusalsCutsAndResumes) {
  const std::string picture("\x89PNG\r\n\x1a\n0123456789", 18);
  const struct {
    const char* name;
    std::vector<testkit::Reply> replies;
    std::optional<ErrorCode> code;  // none: the call ends well
    std::string message;
    std::size_t requests;
    std::function<void(const std::vector<testkit::RecordedRequest>&)> check{};
  } rows[] = {
      {"the start refused",
       {testkit::Reply::json(403, R"({"error":{"code":403,"message":"API key not valid.","status":)"
                                  R"("PERMISSION_DENIED"}})")},
       ErrorCode::IMAGE_GENERATE_FAIL,
       "API key not valid.",
       1},
      {"a session address on another host",
       {started("http://elsewhere/upload")},
       ErrorCode::SERVICE_BUSY,
       "ResponseShapeError error",
       1},
      {"no session address",
       {testkit::Reply::json(200, "")},
       ErrorCode::SERVICE_BUSY,
       "ResponseShapeError error",
       1},
      {"uploaded, then generated",
       {started(), finished(), testkit::Reply::json(200, kImage)},
       std::nullopt,
       "",
       3,
       [&](const std::vector<testkit::RecordedRequest>& sent) {
         EXPECT_EQ(header(sent[0], "X-Goog-Upload-Header-Content-Length"),
                   std::to_string(picture.size()));
         EXPECT_EQ(sent[1].url, kSession);
         EXPECT_EQ(sent[1].json_text, picture);
         EXPECT_NE(sent[2].json_text->find(R"("fileUri":"http://g/v1beta/files/f1")"),
                   std::string::npos);
         EXPECT_EQ(sent[2].json_text->find("inlineData"), std::string::npos);
       }},
      {"cut, then resumed from the byte held",
       {started(), testkit::Reply::raise<host::ConnectionError>("reset"), received(5), finished(),
        testkit::Reply::json(200, kImage)},
       std::nullopt,
       "",
       5,
       [&](const std::vector<testkit::RecordedRequest>& sent) {
         EXPECT_EQ(header(sent[2], "X-Goog-Upload-Command"), "query");
         EXPECT_EQ(header(sent[3], "X-Goog-Upload-Offset"), "5");
         EXPECT_EQ(sent[3].json_text, picture.substr(5));
       }},
      {"a 503, then resumed",
       {started(), testkit::Reply::json(503, "{}"), received(0), finished(),
        testkit::Reply::json(200, kImage)},
       std::nullopt,
       "",
       5},
      {"cut past the resumes",
       {started(), testkit::Reply::raise<host::ConnectionError>("reset"), received(0),
        testkit::Reply::raise<host::ConnectionError>("reset"), received(0),
        testkit::Reply::raise<host::ConnectionError>("reset"), received(0),
        testkit::Reply::raise<host::ConnectionError>("reset")},
       ErrorCode::SERVICE_BUSY,
       "ConnectionError error",
       2 + 2 * static_cast<std::size_t>(image::tavelin::internal::kMaxUploadResumes)},
      {"the bytes refused",
       {started(), testkit::Reply::json(400, R"({"error":{"message":"too big"}})")},
       ErrorCode::IMAGE_GENERATE_FAIL,
       "too big",
       2},
  };
  for (const auto& row : rows) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    const testkit::ScopedHttpClient installed{http};
    for (const testkit::Reply& reply : row.replies) http->queue_post(reply);
    image::tavelin::TavelinaOptions options;
    options.dialect = host::Dialect::kDirect;
    options.logger = std::make_shared<testkit::CapturingLogger>();
    const image::tavelin::TavelinaClient client("http://g", "key", options);
    host::CallReport report;
    host::CallOptions call;
    call.report = &report;
    const auto result =
        client.start(image::tavelin::GenerationRequest{.prompt = "p",
                                                       .aspect_ratio = "1:1",
                                                       .files = host::to_bytes(picture),
                                                       .model = "gemini-3-pro-image",
                                                       .upload_references = true},
                     call);
    EXPECT_EQ(result.code(), row.code) << row.name << ": " << result.msg().value_or("");
    EXPECT_EQ(result.msg().value_or(""), row.message) << row.name;
    const auto sent = http->requests();
    EXPECT_EQ(sent.size(), row.requests) << row.name;
    for (const testkit::RecordedRequest& request : sent) {
      EXPECT_TRUE(request.url.starts_with("http://g/")) << row.name << ": " << request.url;
    }
    if (row.check && sent.size() == row.requests) row.check(sent);
    if (!row.code) {
      EXPECT_EQ(report.files_uploaded, 1) << row.name;
    }
  }
}

}  // namespace
}  // namespace zantrel::test_support
