// Outcomes of one images-API call, driven through a scripted HTTP client.
#include <gtest/gtest.h>

#include <ostream>

#include "tests/support/test_data.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using image::corvane::CorvaneClient;
using image::corvane::CorvaneOptions;
using image::corvane::ImageCallOptions;
using image::corvane::ImageParts;
using json = nlohmann::ordered_json;

constexpr char kLink[] = "https://files.test/out.png";
const std::string kImage = std::string("\x89PNG\r\n\x1a\n", 8) + "pixels";

json rec(std::string msg) {
  return json{{"msg", std::move(msg)}, {"task_id", nullptr}, {"model_key", nullptr}};
}
json with(json record, const char* key, json value) {
  record[key] = std::move(value);
  return record;
}
json api_complete(int status) {
  return with(with(rec("GPT-IMAGE-2 api complete"), "status_code", status), "total_second", 0);
}
json no_image(const std::string& body) {
  return with(rec("GPT-IMAGE-2 未收到结果的原始数据"), "data", json::parse(body));
}
json warning(const char* kind) {
  return with(with(rec(std::string("GPT-IMAGE-2 ") + kind + " warning"), "error", "<kind>"),
              "traceback", "<tb>");
}

struct Outcome {
  const char* name;
  testkit::Reply reply;
  std::optional<testkit::Reply> link_reply;
  std::optional<ErrorCode> code;  // nothing: success
  std::optional<std::string> msg;
  std::optional<std::string> bytes;
  std::vector<json> records_after_request;  // the request record always comes first
};

// The row's name, where ctest lists the parameter.
void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

std::vector<Outcome> outcomes() {
  const std::string b64_body = json{{"data", {{{"b64_json", b64(kImage)}}}}}.dump();
  const std::string both = json{{"data", {{{"url", kLink}, {"b64_json", b64(kImage)}}}}}.dump();
  const std::string data_link =
      json{{"data", {{{"url", "data:image/png;base64," + b64(kImage)}}}}}.dump();
  const std::string http_link = json{{"data", {{{"url", kLink}}}}}.dump();
  const json link_rec = with(rec("GPT-IMAGE-2 url"), "url", kLink);
  const std::vector<std::string> no_item_bodies = {R"({"data":[]})",
                                                   R"({"data":null})",
                                                   R"({"created":1})",
                                                   R"([{"b64_json":"QQ=="}])",
                                                   R"({"data":["text item"]})",
                                                   R"({"data":[{"revised_prompt":"x"}]})",
                                                   R"({"data":{}})",
                                                   R"({"data":[{"b64_json":""}]})",
                                                   R"({"data":[{"url":"data:image/png;base64,"}]})",
                                                   R"({"data":[{"url":"data:image/png;base64"}]})"};
  std::vector<Outcome> out = {
      {"b64_json", testkit::Reply::json(200, b64_body), {}, {}, {}, kImage, {api_complete(200)}},
      {"b64_json wins over url",
       testkit::Reply::json(200, both),
       {},
       {},
       {},
       kImage,
       {api_complete(200)}},
      {"data link", testkit::Reply::json(200, data_link), {}, {}, {}, kImage, {api_complete(200)}},
      {"http link fetched",
       testkit::Reply::json(200, http_link),
       testkit::Reply::json(200, kImage),
       {},
       {},
       kImage,
       {api_complete(200), link_rec}},
      {"http link gives nothing",
       testkit::Reply::json(200, http_link),
       testkit::Reply::json(404, "x"),
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {api_complete(200), link_rec, no_image(http_link)}},
      {"other scheme",
       testkit::Reply::json(200, R"({"data":[{"url":"ftp://x/y"}]})"),
       {},
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {api_complete(200)}},
      {"empty url",
       testkit::Reply::json(200, R"({"data":[{"url":""}]})"),
       {},
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {api_complete(200)}},
      {"b64_json null",
       testkit::Reply::json(200, R"({"data":[{"b64_json":null}]})"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("ResponseShapeError")}},
      {"data an object",
       testkit::Reply::json(200, R"({"data":{"a":1}})"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("KeyError")}},
      {"bad base64",
       testkit::Reply::json(200, R"({"data":[{"b64_json":"QUJD!Q"}]})"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("Base64Error")}},
      // Duplicate members: the logged body shows the occurrence the result was read from.
      {"duplicate data member, first wins",
       testkit::Reply::json(200, R"({"data":[],"data":[{"b64_json":"QUJD"}]})"),
       {},
       ErrorCode::NO_IMAGE_RESULT,
       {},
       {},
       {api_complete(200), no_image(R"({"data":[]})")}},
      {"data after the padding is refused",
       testkit::Reply::json(200, R"({"data":[{"b64_json":"=QUJD"}]})"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("Base64Error")}},
      {"200 not JSON",
       testkit::Reply::json(200, "<html/>"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("JSONDecodeError")}},
      // A colon where a comma belongs, hidden behind balanced braces: refused, not half-read.
      {"200 malformed behind a value",
       testkit::Reply::json(200, R"({"data":[{"url":"x":"y"}},{"b64_json":"QUJD"}]})"),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), warning("JSONDecodeError")}},
      {"400 with message",
       testkit::Reply::json(400, R"({"error":{"message":"bad size"}})"),
       {},
       ErrorCode::IMAGE_GENERATE_FAIL,
       "bad size",
       {},
       {api_complete(400), with(with(rec("GPT-IMAGE-2 response failed"), "status_code", 400),
                                "error_dict", json::parse(R"({"error":{"message":"bad size"}})"))}},
      {"400 without error",
       testkit::Reply::json(400, R"({"detail":"x"})"),
       {},
       ErrorCode::IMAGE_GENERATE_FAIL,
       {},
       {},
       {api_complete(400), with(with(rec("GPT-IMAGE-2 response failed"), "status_code", 400),
                                "error_dict", json::parse(R"({"detail":"x"})"))}},
      {"400 not JSON",
       testkit::Reply::json(400, "Bad Request"),
       {},
       ErrorCode::IMAGE_GENERATE_FAIL,
       "service status_code: 400",
       {},
       {api_complete(400),
        with(with(rec("GPT-IMAGE-2 response failed"), "status_code", 400), "error_dict", nullptr)}},
      {"429 is no special case",
       testkit::Reply::json(429, R"({"error":{"message":"rate"}})"),
       {},
       ErrorCode::IMAGE_GENERATE_FAIL,
       "rate",
       {},
       {api_complete(429), with(with(rec("GPT-IMAGE-2 response failed"), "status_code", 429),
                                "error_dict", json::parse(R"({"error":{"message":"rate"}})"))}},
      {"read time-out",
       testkit::Reply::raise<host::ReadTimeout>(),
       {},
       ErrorCode::SERVICE_TIMEOUT,
       {},
       {},
       {rec("任务处理超时")}},
      {"connection refused",
       testkit::Reply::raise<host::ConnectionError>(),
       {},
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {warning("ConnectionError")}},
      {"failing fetch",
       testkit::Reply::json(200, http_link),
       testkit::Reply::raise<host::TlsError>(),
       ErrorCode::SERVICE_BUSY,
       {},
       {},
       {api_complete(200), link_rec, warning("TlsError")}},
  };
  for (const auto& body : no_item_bodies) {
    out.push_back({"no image",
                   testkit::Reply::json(200, body),
                   {},
                   ErrorCode::NO_IMAGE_RESULT,
                   {},
                   {},
                   {api_complete(200), no_image(body)}});
  }
  return out;
}

class GenerateImage : public ::testing::TestWithParam<Outcome> {
 protected:
  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
  CorvaneClient client{"https://img.test", "tok", {"GPT-IMAGE-2", logger}};
};

TEST_P(GenerateImage, EndsInItsDocumentedResult) {
  const Outcome& c = GetParam();
  http->queue_post(c.reply);
  if (c.link_reply) http->on_get(kLink, *c.link_reply);
  const auto result = client.generate_image("a cat", "auto", "high");

  EXPECT_EQ(result.code(), c.code);
  EXPECT_EQ(result.msg(), c.msg);
  if (c.bytes) {
    ASSERT_NE(result.bytes(), nullptr);
    EXPECT_EQ(host::as_text(*result.bytes()), *c.bytes);
  } else {
    EXPECT_EQ(result.data().index(), 0u);
  }
  auto records = normalised(logger->records());
  ASSERT_EQ(records.size(), c.records_after_request.size() + 1) << json(records).dump(1);
  EXPECT_EQ(records[0]["msg"], "GPT-IMAGE-2 request api");
  for (std::size_t i = 0; i < c.records_after_request.size(); ++i) {
    json seen = records[i + 1];
    if (seen.contains("error")) {
      const std::string msg = seen["msg"];
      const std::string kind = msg.substr(12, msg.size() - 12 - 8);
      EXPECT_EQ(seen["error"].get<std::string>().rfind(kind + ": ", 0), 0u) << seen.dump();
      seen["error"] = "<kind>";
    }
    EXPECT_EQ(seen, c.records_after_request[i]) << "record " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, GenerateImage, ::testing::ValuesIn(outcomes()),
                         [](const auto& info) {
                           std::string name = std::to_string(info.index) + "_" + info.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

class ImagesRequest : public ::testing::Test {
 protected:
  json sent_payload(std::size_t i = 0) const {
    return json::parse(*http->requests().at(i).json_text);
  }

  std::shared_ptr<testkit::ScriptedHttpClient> http =
      std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  std::shared_ptr<testkit::CapturingLogger> logger = std::make_shared<testkit::CapturingLogger>();
  CorvaneClient client{"https://img.test/", "tok en", {"TAG", logger}};
};

TEST_F(ImagesRequest, GenerationsCarryThePayloadInOrder) {
  http->queue_post(testkit::Reply::json(200, "{}"));
  ImageCallOptions options;
  options.task_id = "t";
  options.model_key = "mk";
  (void)client.generate_image("a fox", "1:1", "", "", std::nullopt, options);
  const auto request = http->requests().at(0);
  // The base URL's trailing slash stays.
  EXPECT_EQ(request.url, "https://img.test//v1/images/generations");
  EXPECT_EQ(request.headers, (host::Headers{{"Authorization", "Bearer tok en"},
                                            {"Content-Type", "application/json"}}));
  EXPECT_EQ(
      request.json_text,
      R"({"model":"gpt-image-2","prompt":"a fox","response_format":"b64_json","size":"1024x1024","quality":"","n":1})");
  const auto records = normalised(logger->records());
  EXPECT_EQ(records[0], (json{{"msg", "TAG "},
                              {"task_id", "t"},
                              {"model_key", "mk"},
                              {"aspect_ratio", "1:1"},
                              {"calc_dict", {{"width", 1024}, {"height", 1024}}}}));
  EXPECT_EQ(records[1], (json{{"msg", "TAG request api"},
                              {"task_id", "t"},
                              {"model_key", "mk"},
                              {"payload", sent_payload()},
                              {"url", "https://img.test//v1/images/generations"}}));
}

TEST_F(ImagesRequest, SizeComesFromTheCalculatorUnlessAutoOrEmpty) {
  // The gpt-image-1 family takes only its listed sizes: the one closest to the ratio.
  const struct {
    const char* model;
    const char* ratio;
    const char* resolution;
    const char* size;
    bool size_record;
  } cases[] = {{"gpt-image-2", "auto", "4k", "auto", false},
               {"gpt-image-2", "", "4k", "", false},
               {"gpt-image-2", "16:9", "4k", "3840x2160", true},
               {"gpt-image-2", "2:3", "", "688x1024", true},
               {"gpt-image-1", "16:9", "4k", "1536x1024", true},
               {"gpt-image-1-mini", "9:16", "", "1024x1536", true},
               {"gpt-image-1.5", "4:5", "2k", "1024x1536", true},
               {"gpt-image-1", "5:4", "", "1536x1024", true},
               {"gpt-image-1", "1:1", "4k", "1024x1024", true},
               {"gpt-image-1", "auto", "", "auto", false}};
  for (const auto& c : cases) {
    const std::string where = std::string(c.model) + " " + c.ratio;
    logger->clear();
    http->queue_post(testkit::Reply::json(200, "{}"));
    ImageCallOptions options;
    options.model = c.model;
    (void)client.generate_image("p", c.ratio, "low", c.resolution, std::nullopt, options);
    EXPECT_EQ(sent_payload(http->requests().size() - 1)["size"], c.size) << where;
    EXPECT_EQ(logger->records()[0]["msg"] == "TAG ", c.size_record) << where;
    if (c.size_record) {
      const json calc = logger->records()[0]["calc_dict"];
      EXPECT_EQ(std::to_string(calc["width"].get<int>()) + "x" +
                    std::to_string(calc["height"].get<int>()),
                c.size)
          << where;
    }
  }
}

TEST_F(ImagesRequest, AnUnusableRatioFailsBeforeAnythingIsSent) {
  const auto result = client.generate_image("p", "7:1", "", "");
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
  EXPECT_FALSE(result.msg().has_value());
  EXPECT_TRUE(http->requests().empty());
  EXPECT_EQ(logger->records().back()["msg"], "TAG InvalidArgument warning");
}

TEST_F(ImagesRequest, ModelAndFormatOptionsAndTimeoutFallback) {
  const auto base = host::Timeout::from_seconds(4, 9);
  http->set_base_timeout(base);
  const auto given = host::Timeout::from_seconds(1, 30);
  ImageCallOptions options;
  options.model = "gpt-image-1";
  options.response_format = "url";
  for (auto timeout :
       {std::optional<host::Timeout>{}, std::optional(host::Timeout{}), std::optional(given)}) {
    options.timeout = timeout;
    http->queue_post(testkit::Reply::json(200, "{}"));
    (void)client.generate_image("p", "", "", "", std::nullopt, options);
  }
  const auto requests = http->requests();
  EXPECT_EQ(requests[0].timeout, base);
  EXPECT_EQ(requests[1].timeout, base);
  EXPECT_EQ(requests[2].timeout, given);
  EXPECT_EQ(sent_payload()["model"], "gpt-image-1");
  EXPECT_EQ(sent_payload()["response_format"], "url");
}

TEST_F(ImagesRequest, EditsPostAFormWithTypedNamedFileParts) {
  http->queue_post(testkit::Reply::json(200, "{}"));
  const ImageParts parts = {
      {"image", png_bytes("a")}, {"image", jpeg_bytes("b")}, {"mask", host::to_bytes("raw")}};
  (void)client.generate_image("edit it", "", "medium", "", parts);
  const auto request = http->requests().at(0);
  EXPECT_EQ(request.url, "https://img.test//v1/images/edits");
  EXPECT_EQ(request.headers, (host::Headers{{"Authorization", "Bearer tok en"}}));
  ASSERT_TRUE(request.form.has_value());
  std::vector<std::pair<std::string, std::string>> fields;
  for (const auto& field : request.form->fields) fields.emplace_back(field.name, field.value);
  EXPECT_EQ(fields,
            (std::vector<std::pair<std::string, std::string>>{{"model", "gpt-image-2"},
                                                              {"prompt", "edit it"},
                                                              {"response_format", "b64_json"},
                                                              {"size", ""},
                                                              {"quality", "medium"},
                                                              {"n", "1"}}));
  ASSERT_EQ(request.form->files.size(), 3u);
  EXPECT_EQ(request.form->files[0].name, "image");
  EXPECT_EQ(request.form->files[0].filename, "image-1.png");
  EXPECT_EQ(request.form->files[0].content_type, "image/png");
  EXPECT_EQ(request.form->files[1].filename, "image-2.jpg");
  EXPECT_EQ(request.form->files[1].content_type, "image/jpeg");
  EXPECT_EQ(request.form->files[2].name, "mask");
  EXPECT_EQ(request.form->files[2].content_type, "application/octet-stream");
  EXPECT_EQ(request.file_contents,
            (std::vector<std::string>{std::string(host::as_text(png_bytes("a"))),
                                      std::string(host::as_text(jpeg_bytes("b"))), "raw"}));
  // An empty list is no list: the generations endpoint.
  http->queue_post(testkit::Reply::json(200, "{}"));
  (void)client.generate_image("p", "", "", "", ImageParts{});
  EXPECT_EQ(http->requests().at(1).url, "https://img.test//v1/images/generations");
}

// The public endpoint refuses "response_format" for gpt-image models and empty size or
// quality; the direct form leaves them out and logs the payload it actually sent.
TEST_F(ImagesRequest, DirectDialectLeavesOutWhatThePublicEndpointRefuses) {
  const struct {
    const char* model;
    const char* ratio;
    const char* quality;
    const char* payload;
  } cases[] = {
      {"gpt-image-2", "", "", R"({"model":"gpt-image-2","prompt":"p","n":1})"},
      // Past its shutdown: its replacement goes, with the replacement's own (free) sizes.
      {"gpt-image-1", "1:1", "high",
       R"({"model":"gpt-image-2.5-sunburst","prompt":"p","size":"1024x1024","quality":"high","n":1})"},
      {"dall-e-3", "auto", "",
       R"({"model":"dall-e-3","prompt":"p","response_format":"b64_json","size":"auto","n":1})"},
  };
  CorvaneOptions direct_options{"TAG", logger};
  direct_options.dialect = host::Dialect::kDirect;
  const CorvaneClient direct{"https://img.test", "tok", direct_options};
  for (const auto& c : cases) {
    logger->clear();
    http->queue_post(testkit::Reply::json(200, "{}"));
    ImageCallOptions options;
    options.model = c.model;
    (void)direct.generate_image("p", c.ratio, c.quality, "", std::nullopt, options);
    const auto request = http->requests().back();
    EXPECT_EQ(request.json_text, c.payload) << c.model;
    EXPECT_EQ(request.headers, (host::Headers{{"Authorization", "Bearer tok"},
                                              {"Content-Type", "application/json"}}));
    for (const auto& record : logger->records()) {
      if (record["msg"] == "TAG request api") {
        EXPECT_EQ(record["payload"], json::parse(c.payload));
      }
    }
  }
}

TEST_F(ImagesRequest, DirectEditsNameSeveralImagesAsAnArray) {
  CorvaneOptions direct_options{"TAG", logger};
  direct_options.dialect = host::Dialect::kDirect;
  const CorvaneClient direct{"https://img.test", "tok", direct_options};
  const struct {
    ImageParts parts;
    std::vector<std::string> names;
  } cases[] = {
      {{{"image", png_bytes("a")}}, {"image"}},
      {{{"image", png_bytes("a")}, {"image", jpeg_bytes("b")}}, {"image[]", "image[]"}},
      {{{"image", png_bytes("a")}, {"image", png_bytes("b")}, {"mask", png_bytes("m")}},
       {"image[]", "image[]", "mask"}},
  };
  for (const auto& c : cases) {
    http->queue_post(testkit::Reply::json(200, "{}"));
    (void)direct.generate_image("p", "", "", "", c.parts);
    const auto request = http->requests().back();
    std::vector<std::string> names;
    for (const auto& file : request.form->files) names.push_back(file.name);
    EXPECT_EQ(names, c.names);
    std::vector<std::string> fields;
    for (const auto& field : request.form->fields) fields.push_back(field.name);
    EXPECT_EQ(fields, (std::vector<std::string>{"model", "prompt", "n"}));
  }
}

TEST_F(ImagesRequest, TokenWithLineBreakIsRefusedAndNeverLogged) {
  CorvaneClient bad("https://img.test", "tok\r\nX-Evil: 1", {"TAG", logger});
  const auto result = bad.generate_image("p");
  EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
  EXPECT_TRUE(http->requests().empty());
  for (const auto& record : logger->records()) {
    EXPECT_EQ(record.dump().find("X-Evil"), std::string::npos) << record.dump();
  }
}

}  // namespace
}  // namespace zantrel::test_support

namespace zantrel::test_support {
namespace {

// An answer of several items: each image in order whatever its form (base64, data link, web
// link), items without one passed over, and the answer's account of them in the report.
TEST_F(ImagesRequest, EveryImageOfAnAnswerIsKeptInOrder) {
  const std::string second = std::string("\x89PNG\r\n\x1a\n", 8) + "second";
  const std::string third = std::string("\x89PNG\r\n\x1a\n", 8) + "third";
  const json body = {{"data",
                      {{{"b64_json", b64(kImage)}, {"revised_prompt", "a fox, at dawn"}},
                       {{"url", "data:image/png;base64," + b64(second)}},
                       {{"note", "no image"}},
                       7,
                       {{"url", kLink}}}},
                     {"output_format", "png"},
                     {"size", "1024x1024"},
                     {"quality", "high"},
                     {"background", "opaque"},
                     {"generation_id", "gen_7"},
                     {"svg_usage", {{"output_tokens", 12}}}};
  http->queue_post(testkit::Reply::json(200, body.dump()));
  http->on_get(kLink, testkit::Reply::json(200, third));
  host::CallReport report;
  host::CallOptions options;
  options.report = &report;
  const auto result = client.start({.prompt = "a fox", .n = 4, .user = "u-1"}, options);
  ASSERT_TRUE(result.ok()) << result.msg().value_or("");
  std::vector<std::string> images;
  for (host::ByteView image : result.images()) images.emplace_back(host::as_text(image));
  EXPECT_EQ(images, (std::vector<std::string>{kImage, second, third}));
  EXPECT_EQ(host::as_text(*result.bytes()), kImage);
  EXPECT_EQ(report.images.size(), 3u);
  EXPECT_EQ(report.answer.revised_prompt, "a fox, at dawn");
  EXPECT_EQ(report.answer.quality, "high");
  EXPECT_EQ(report.answer.background, "opaque");
  EXPECT_EQ(report.answer.generation_id, "gen_7");
  EXPECT_EQ(report.answer.svg_usage, json({{"output_tokens", 12}}));
  EXPECT_FALSE(report.answer.sequence_number);
  EXPECT_EQ(
      http->requests().at(0).json_text,
      R"({"model":"gpt-image-2","prompt":"a fox","response_format":"b64_json","size":"","quality":"","n":4,"user":"u-1"})");
}

}  // namespace
}  // namespace zantrel::test_support
