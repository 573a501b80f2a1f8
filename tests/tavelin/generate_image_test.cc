// Outcomes of one generateContent call, driven through a scripted HTTP client.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>

#include "tests/support/test_data.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using json = nlohmann::ordered_json;

constexpr char kBase[] = "https://gemini.test";
constexpr char kUrl[] =
    "https://gemini.test/v1beta/models/gemini-3-pro-image-preview:generateContent";
constexpr char kLink[] = "https://files.test/image-1";

std::string inline_part(std::string_view raw, const char* key = "inlineData") {
  return json{{key, {{"mimeType", "image/png"}, {"data", b64(raw)}}}}.dump();
}

std::string candidates(std::initializer_list<std::string> items) {
  std::string out = R"({"candidates":[)";
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ',';
    out += item;
    first = false;
  }
  return out + "]}";
}

std::string candidate(std::string parts, std::string reason = "") {
  std::string out = R"({"content":{"parts":[)" + parts + "]}";
  if (!reason.empty()) out += R"(,"finishReason":")" + reason + '"';
  return out + '}';
}

struct Outcome {
  const char* name;
  testkit::Reply reply;
  std::optional<testkit::Reply> link_reply;  // answer to a GET of kLink
  bool ok;
  std::optional<ErrorCode> code;
  std::optional<std::string> msg;
  std::optional<std::string> bytes;  // expected image bytes
  std::optional<std::string> link;   // expected link text
  std::vector<json> records_after_request;
};

json rec(std::string msg) { return json{{"msg", msg}, {"task_id", "t-1"}, {"model_key", nullptr}}; }
json with(json record, const char* key, json value) {
  record[key] = std::move(value);
  return record;
}

// The row's name, where ctest lists the parameter.
void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

std::vector<Outcome> outcomes() {
  const std::string img_a = "\x89PNG\r\n\x1a\nAAAA";
  const std::string img_big = "\x89PNG\r\n\x1a\nBBBBBBBB";
  const std::string img_b = "\x89PNG\r\n\x1a\nCCCC";
  const std::string link_body = R"({"candidates":[{"content":{"parts":[{"fileData":{"fileUri":")" +
                                std::string(kLink) + R"("}},)" + inline_part(img_a) + "]}}]}";
  const json ok_rec = with(rec("TAVELIN api complete successfully"), "second", 0);
  const json links_rec =
      with(rec("TAVELIN api complete result"), "image_urls", json::array({kLink}));
  return {
      {"file link fetched",
       testkit::Reply::json(200, link_body),
       testkit::Reply::json(200, "fetched-bytes"),
       true,
       {},
       {},
       "fetched-bytes",
       {},
       {ok_rec, links_rec}},
      {"file link fetch gives nothing",
       testkit::Reply::json(200, link_body),
       testkit::Reply::json(404, "gone"),
       true,
       {},
       {},
       {},
       kLink,
       {ok_rec, links_rec}},
      {"largest inline image",
       testkit::Reply::json(
           200, candidates({candidate(inline_part(img_a) + "," + inline_part(img_big))})),
       {},
       true,
       {},
       {},
       img_big,
       {},
       {ok_rec, with(rec("image_candidates"), "size", img_big.size())}},
      {"equal sizes keep the first",
       testkit::Reply::json(200,
                            candidates({candidate(inline_part(img_a) + "," + inline_part(img_b))})),
       {},
       true,
       {},
       {},
       img_a,
       {},
       {ok_rec, with(rec("image_candidates"), "size", img_a.size())}},
      {"empty inlineData falls back to inline_data",
       testkit::Reply::json(200,
                            candidates({candidate(R"({"inlineData":{},)" +
                                                  inline_part(img_a, "inline_data").substr(1))})),
       {},
       true,
       {},
       {},
       img_a,
       {},
       {ok_rec, with(rec("image_candidates"), "size", img_a.size())}},
      {"empty data is no image",
       testkit::Reply::json(200, candidates({candidate(R"({"inlineData":{"data":""}})")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      // Text that decodes to nothing is no image either: never a success without bytes.
      {"data of line breaks only is no image",
       testkit::Reply::json(200, candidates({candidate(R"({"inlineData":{"data":"\r\n"}})")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      // Data after the padding would be dropped: refused instead.
      {"data after the padding is refused",
       testkit::Reply::json(200, candidates({candidate(R"({"inlineData":{"data":"QUJD=QUJD"}})")})),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "Base64Error error",
       {},
       {},
       {ok_rec,
        with(with(rec("TAVELIN Base64Error error"), "error", "<ignored>"), "traceback", "<tb>")}},
      {"padding alone is refused",
       testkit::Reply::json(200, candidates({candidate(R"({"inlineData":{"data":"===="}})")})),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "Base64Error error",
       {},
       {},
       {ok_rec,
        with(with(rec("TAVELIN Base64Error error"), "error", "<ignored>"), "traceback", "<tb>")}},
      {"candidate without content is skipped",
       testkit::Reply::json(
           200, candidates({R"({"finishReason":"STOP"})", candidate(inline_part(img_a))})),
       {},
       true,
       {},
       {},
       img_a,
       {},
       {ok_rec, with(rec("image_candidates"), "size", img_a.size())}},
      {"IMAGE_SAFETY",
       testkit::Reply::json(200, candidates({candidate("", "IMAGE_SAFETY")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-IMAGE_SAFETY",
       {},
       {},
       {ok_rec}},
      {"IMAGE_OTHER",
       testkit::Reply::json(200, candidates({candidate("", "IMAGE_OTHER")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-IMAGE_OTHER",
       {},
       {},
       {ok_rec}},
      {"OTHER",
       testkit::Reply::json(200, candidates({candidate("", "OTHER")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-OTHER",
       {},
       {},
       {ok_rec}},
      {"IMAGE_PROHIBITED_CONTENT",
       testkit::Reply::json(200, candidates({candidate("", "IMAGE_PROHIBITED_CONTENT")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-IMAGE_SAFETY",
       {},
       {},
       {ok_rec}},
      {"PROHIBITED_CONTENT",
       testkit::Reply::json(200, candidates({candidate("", "PROHIBITED_CONTENT")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-IMAGE_SAFETY",
       {},
       {},
       {ok_rec}},
      {"other reason",
       testkit::Reply::json(200, candidates({candidate("", "STOP")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      {"reason in lower case",
       testkit::Reply::json(200, candidates({candidate("", "image_safety")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      {"the last reason decides",
       testkit::Reply::json(
           200, candidates({candidate("", "IMAGE_SAFETY"), candidate("", "MAX_TOKENS")})),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      {"no candidates",
       testkit::Reply::json(200, R"({"responseId":"r1"})"),
       {},
       false,
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {},
       {ok_rec}},
      {"503 with message",
       testkit::Reply::json(503, R"({"error":{"message":"overloaded"}})"),
       {},
       false,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "overloaded",
       {},
       {},
       {with(with(with(rec("TAVELIN api complete fail"), "status_code", 503), "second", 0),
             "error_dict", json::parse(R"({"error":{"message":"overloaded"}})"))}},
      {"429 with message",
       testkit::Reply::json(429, R"({"error":{"message":"slow down"}})"),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "slow down",
       {},
       {},
       {with(with(with(rec("TAVELIN api complete fail"), "status_code", 429), "second", 0),
             "error_dict", json::parse(R"({"error":{"message":"slow down"}})"))}},
      {"500 not JSON",
       testkit::Reply::json(500, "<html>oops</html>"),
       {},
       false,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "service status_code: 500",
       {},
       {},
       {with(with(with(rec("TAVELIN api complete fail"), "status_code", 500), "second", 0),
             "error_dict", nullptr)}},
      {"400 empty object",
       testkit::Reply::json(400, "{}"),
       {},
       false,
       ErrorCode::IMAGE_GENERATE_FAIL,
       {},
       {},
       {},
       {with(with(with(rec("TAVELIN api complete fail"), "status_code", 400), "second", 0),
             "error_dict", json::object())}},
      {"400 error not an object",
       testkit::Reply::json(400, R"({"error":"bad"})"),
       {},
       false,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "service status_code: 400",
       {},
       {},
       {with(with(with(rec("TAVELIN api complete fail"), "status_code", 400), "second", 0),
             "error_dict", nullptr)}},
      {"200 not JSON",
       testkit::Reply::json(200, "<html>fine</html>"),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "JSONDecodeError error",
       {},
       {},
       {with(with(rec("TAVELIN JSONDecodeError error"), "error", "<ignored>"), "traceback",
             "<tb>")}},
      // A colon where a comma belongs, hidden behind balanced braces: refused, not half-read.
      {"200 malformed behind a value",
       testkit::Reply::json(200, R"({"candidates":[{"content":{"parts":[{"text":"x":"y"}},)"
                                 R"({"inlineData":{"data":"QUJD"}}]}]})"),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "JSONDecodeError error",
       {},
       {},
       {with(with(rec("TAVELIN JSONDecodeError error"), "error", "<ignored>"), "traceback",
             "<tb>")}},
      {"read time-out",
       testkit::Reply::raise<host::ReadTimeout>(),
       {},
       false,
       ErrorCode::SERVICE_TIMEOUT,
       {},
       {},
       {},
       {rec("任务处理超时")}},
      {"connect time-out is busy",
       testkit::Reply::raise<host::ConnectTimeout>(),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "ConnectTimeout error",
       {},
       {},
       {with(with(rec("TAVELIN ConnectTimeout error"), "error", "<ignored>"), "traceback",
             "<tb>")}},
      {"bad base64",
       testkit::Reply::json(200, candidates({candidate(R"({"inlineData":{"data":"QUJD!Q"}})")})),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "Base64Error error",
       {},
       {},
       {ok_rec,
        with(with(rec("TAVELIN Base64Error error"), "error", "<ignored>"), "traceback", "<tb>")}},
      {"failing link fetch",
       testkit::Reply::json(200, link_body),
       testkit::Reply::raise<host::ConnectionError>(),
       false,
       ErrorCode::SERVICE_BUSY,
       "ConnectionError error",
       {},
       {},
       {ok_rec, links_rec,
        with(with(rec("TAVELIN ConnectionError error"), "error", "<ignored>"), "traceback",
             "<tb>")}},
      {"wrong shape",
       testkit::Reply::json(200, R"({"candidates":{"a":1}})"),
       {},
       false,
       ErrorCode::SERVICE_BUSY,
       "ResponseShapeError error",
       {},
       {},
       {ok_rec, with(with(rec("TAVELIN ResponseShapeError error"), "error", "<ignored>"),
                     "traceback", "<tb>")}},
  };
}

class GenerateImage : public ::testing::TestWithParam<Outcome> {
 protected:
  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
  image::tavelin::TavelinaClient client{kBase, "secret-key", {"TAVELIN", logger}};
};

TEST_P(GenerateImage, EndsInItsDocumentedResult) {
  const Outcome& c = GetParam();
  http->queue_post(c.reply);
  if (c.link_reply) http->on_get(kLink, *c.link_reply);

  host::CallOptions options;
  options.task_id = "t-1";
  const auto result = client.generate_image("a cat", std::nullopt, "2:3", "1K",
                                            "gemini-3-pro-image-preview", options);

  EXPECT_EQ(result.ok(), c.ok);
  EXPECT_EQ(result.code(), c.code);
  EXPECT_EQ(result.msg(), c.msg);
  if (c.bytes) {
    ASSERT_NE(result.bytes(), nullptr);
    EXPECT_EQ(host::as_text(*result.bytes()), *c.bytes);
  }
  if (c.link) {
    ASSERT_NE(result.link(), nullptr);
    EXPECT_EQ(*result.link(), *c.link);
  }
  if (!c.bytes && !c.link) {
    EXPECT_EQ(result.data().index(), 0u);
  }

  auto records = normalised(logger->records());
  ASSERT_EQ(records.size(), c.records_after_request.size() + 1) << json(records).dump(1);
  const json expected_request = json{{"msg", "TAVELIN request api"},
                                     {"task_id", "t-1"},
                                     {"model_key", nullptr},
                                     {"model_name", "gemini-3-pro-image-preview"},
                                     {"img_count", 0},
                                     {"url", kUrl},
                                     {"aspect_ratio", "2:3"},
                                     {"image_size", "1K"}};
  EXPECT_EQ(records[0], expected_request);
  for (std::size_t i = 0; i < c.records_after_request.size(); ++i) {
    json expected = c.records_after_request[i];
    json seen = records[i + 1];
    if (expected.contains("error")) {
      // "error" is "Kind: message"; the kind is what the record promises.
      const std::string kind = seen["msg"].get<std::string>().substr(8);
      EXPECT_EQ(seen["error"].get<std::string>().rfind(kind.substr(0, kind.size() - 6) + ": ", 0),
                0u)
          << seen.dump();
      seen["error"] = "<ignored>";
    }
    EXPECT_EQ(seen, expected) << "record " << i + 1;
  }
  for (const auto& record : logger->records()) {
    EXPECT_EQ(record.dump().find("secret-key"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, GenerateImage, ::testing::ValuesIn(outcomes()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

class GenerateImageRequest : public ::testing::Test {
 protected:
  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
};

TEST_F(GenerateImageRequest, PostsTheBodyWithBearerHeadersToTheModelUrl) {
  image::tavelin::TavelinaClient client("http://h/", "k 1", {"TAG", logger});
  http->queue_post(testkit::Reply::json(200, "{}"));
  std::vector<host::Bytes> images = {png_bytes(), jpeg_bytes()};
  (void)client.generate_image("p", images, "16:9", "2k", "gemini-2.5-flash-image");

  const auto requests = http->requests();
  ASSERT_EQ(requests.size(), 1u);
  // A trailing slash of the base URL stays.
  EXPECT_EQ(requests[0].url, "http://h//v1beta/models/gemini-2.5-flash-image:generateContent");
  EXPECT_EQ(requests[0].headers,
            (host::Headers{{"Authorization", "Bearer k 1"}, {"Content-Type", "application/json"}}));
  ASSERT_TRUE(requests[0].json_text);
  EXPECT_EQ(json::parse(*requests[0].json_text),
            client._build_body_data("p", images, "16:9", "2k"));
  EXPECT_EQ(logger->records().front()["img_count"], 2);
  EXPECT_EQ(logger->records().front()["image_size"], "2k");
}

// The public endpoint takes the key in its own header and refuses unknown members; the
// gateway form stays as it is. In both, the bytes sent are the map's text and hold no key.
TEST_F(GenerateImageRequest, EachDialectSendsItsKeyHeaderAndMembers) {
  const struct {
    host::Dialect dialect;
    host::Headers headers;
    bool response_format;
  } cases[] = {
      {host::Dialect::kGateway,
       {{"Authorization", "Bearer k 1"}, {"Content-Type", "application/json"}},
       true},
      {host::Dialect::kDirect,
       {{"x-goog-api-key", "k 1"}, {"Content-Type", "application/json"}},
       false},
  };
  for (const auto& c : cases) {
    image::tavelin::TavelinaOptions options{"TAG", logger};
    options.dialect = c.dialect;
    image::tavelin::TavelinaClient client("http://h", "k 1", options);
    http->queue_post(testkit::Reply::json(200, "{}"));
    const std::vector<host::Bytes> images = {png_bytes()};
    (void)client.generate_image("p", images, "16:9", "2k", "gemini-3-pro-image");
    const auto request = http->requests().back();
    EXPECT_EQ(request.headers, c.headers) << host::to_string(c.dialect);
    const json sent = json::parse(*request.json_text);
    EXPECT_EQ(sent, client._build_body_data("p", images, "16:9", "2k"));
    EXPECT_EQ(sent.contains("response_format"), c.response_format);
    // Member order of what is left stays the gateway's.
    std::vector<std::string> members;
    for (const auto& member : sent.items()) members.push_back(member.key());
    EXPECT_EQ(members[0], "contents");
    EXPECT_EQ(members[1], "generationConfig");
    EXPECT_EQ(sent["generationConfig"]["imageConfig"],
              (json{{"aspectRatio", "16:9"}, {"imageSize", "2K"}}));
    EXPECT_EQ(request.json_text->find("k 1"), std::string::npos);
  }
  for (const auto& record : logger->records()) {
    EXPECT_EQ(record.dump().find("k 1"), std::string::npos);
  }
}

TEST_F(GenerateImageRequest, ZeroOrAbsentTimeoutFallsBackToTheBaseTimeout) {
  const auto base = host::Timeout::from_seconds(3, 7);
  http->set_base_timeout(base);
  image::tavelin::TavelinaClient client("http://h", "k", {"TAG", logger});
  const auto given = host::Timeout::from_seconds(1, 2.5);
  for (auto timeout :
       {std::optional<host::Timeout>{}, std::optional(host::Timeout{}), std::optional(given)}) {
    http->queue_post(testkit::Reply::json(200, "{}"));
    host::CallOptions options;
    options.timeout = timeout;
    (void)client.generate_image("p", {}, "1:1", "1K", "gemini-3-pro-image-preview", options);
  }
  const auto requests = http->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].timeout, base);
  EXPECT_EQ(requests[1].timeout, base);
  EXPECT_EQ(requests[2].timeout, given);
}

TEST_F(GenerateImageRequest, UnsupportedModelOrRatioFailsBeforeAnythingIsSent) {
  image::tavelin::TavelinaClient client("http://h", "k", {"TAG", logger});
  const auto bad_model = client.generate_image("p", {}, "1:1", "1K", "gemini-9");
  EXPECT_EQ(bad_model.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(bad_model.message(), "Invalid model: gemini-9");
  const auto bad_ratio = client.generate_image("p", {}, "7:3", "1K");
  EXPECT_EQ(bad_ratio.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(bad_ratio.message(), "Invalid aspect_ratio: 7:3");
  EXPECT_TRUE(http->requests().empty());
  EXPECT_TRUE(logger->records().empty());
}

TEST_F(GenerateImageRequest, KeyWithLineBreakIsRefusedAndNeverShown) {
  const std::string key = "abc\r\nX-Injected: yes";
  image::tavelin::TavelinaClient client("http://h", key, {"TAG", logger});
  const auto result = client.generate_image("p");
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
  EXPECT_EQ(result.msg(), "InvalidHeader error");
  EXPECT_TRUE(http->requests().empty());
  for (const auto& record : logger->records()) {
    EXPECT_EQ(record.dump().find("X-Injected"), std::string::npos) << record.dump();
  }
}

}  // namespace
}  // namespace zantrel::test_support
