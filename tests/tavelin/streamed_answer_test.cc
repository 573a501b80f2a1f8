// A streamed generateContent answer read by the client: whole GenerateContentResponse events,
// as a host's own HTTP stack hands them over (the body at once), into the result the same
// answer unstreamed gives, thought images as previews.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_data.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using image::tavelin::GenerationRequest;
using image::tavelin::TavelinaClient;
using json = nlohmann::ordered_json;

json image_part(const host::Bytes& image, bool thought = false) {
  json part = {{"inlineData", {{"mimeType", "image/png"}, {"data", b64(host::as_text(image))}}}};
  if (thought) part["thought"] = true;
  return part;
}

// One event holding `parts` of the first candidate, and `more` members. A list of one part may
// arrive as that part: brace initialisation of one element copies it on some compilers.
std::string event(json parts, json more = json::object()) {
  if (!parts.is_array()) parts = json::array({std::move(parts)});
  json body = {{"candidates", {{{"content", {{"role", "model"}, {"parts", std::move(parts)}}}}}}};
  body.update(more);
  return "data: " + body.dump() + "\n\n";
}

TEST(GeminiStream, EventsBecomeTheResultOfTheSameAnswerUnstreamed) {
  const host::Bytes thought = png_bytes(std::string(400, 't'));  // larger than the answer's
  const host::Bytes small = png_bytes("small");
  const host::Bytes final_image = png_bytes("the final picture");
  const json usage = {{"promptTokenCount", 4}, {"candidatesTokenCount", 1290}};
  const std::string finish =
      "data: " +
      json{{"candidates", {{{"finishReason", "STOP"}}}}, {"usageMetadata", usage}}.dump() + "\n\n";
  const struct {
    const char* name;
    std::string body;
    std::optional<ErrorCode> code;
    std::string message;
    std::optional<host::Bytes> image;
    std::vector<std::string> previews;
  } cases[] = {
      {"thoughts, text, image, finish",
       event({image_part(thought, true)}) + event({image_part(thought, true)}) +
           event({{{"text", "Here it is."}}}) + event({image_part(final_image)}) + finish,
       std::nullopt,
       "",
       final_image,
       {"thought image 1", "thought image 2"}},
      {"the largest answer image wins, the first of equal sizes",
       event({image_part(final_image)}) + event({image_part(small)}) +
           event({image_part(png_bytes("the other picture"))}) + finish,
       std::nullopt,
       "",
       final_image,
       {}},
      {"only thoughts",
       event({image_part(thought, true)}) + finish,
       ErrorCode::NO_IMAGE_RESULT,
       "",
       std::nullopt,
       {"thought image 1"}},
      {"a safety finish",
       event({{{"text", "No."}}}) +
           "data: " + json{{"candidates", {{{"finishReason", "IMAGE_SAFETY"}}}}}.dump() + "\n\n",
       ErrorCode::NO_IMAGE_RESULT,
       "Picture prohibition-IMAGE_SAFETY",
       std::nullopt,
       {}},
      {"an error event after a thought",
       event({image_part(thought, true)}) +
           "data: {\"error\":{\"code\":500,\"message\":\"Internal error\",\"status\":\"INTERNAL\"}}"
           "\n\n",
       ErrorCode::IMAGE_GENERATE_FAIL,
       "Internal error",
       std::nullopt,
       {"thought image 1"}},
      {"an error event of a 429",
       "data: {\"error\":{\"code\":429,\"message\":\"Slow down\",\"status\":"
       "\"RESOURCE_EXHAUSTED\"}}\n\n",
       ErrorCode::SERVICE_BUSY,
       "Slow down",
       std::nullopt,
       {}},
      {"bad base64 in the answer image",
       "data: " +
           json{{"candidates",
                 {{{"content", {{"parts", {{{"inlineData", {{"data", "!!!not base64!!!Q"}}}}}}}}}}}}
               .dump() +
           "\n\n",
       ErrorCode::SERVICE_BUSY,
       "Base64Error error",
       std::nullopt,
       {}},
  };
  for (const auto& c : cases) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    const testkit::ScopedHttpClient installed{http};
    const TavelinaClient client("http://g", "key",
                                {"TAVELIN", std::make_shared<testkit::CapturingLogger>()});
    http->queue_post(testkit::Reply::json(200, c.body));
    std::vector<std::string> previews;
    host::CallReport report;
    host::CallOptions options;
    options.stream = true;
    options.report = &report;
    options.on_progress = [&](const host::ProgressEvent& e) {
      if (e.preview != nullptr) {
        previews.push_back(host::describe(*e.preview));
        EXPECT_EQ(e.preview->mime_type, "image/png") << c.name;
      }
    };
    const auto result = client.start(GenerationRequest{.prompt = "a fox"}, options);
    EXPECT_EQ(result.code(), c.code) << c.name << ": " << result.msg().value_or("");
    if (!c.message.empty()) {
      EXPECT_EQ(result.msg().value_or(""), c.message) << c.name;
    }
    if (c.image) {
      ASSERT_TRUE(result.bytes()) << c.name;
      EXPECT_EQ(*result.bytes(), *c.image) << c.name;
    }
    EXPECT_EQ(previews, c.previews) << c.name;
    EXPECT_TRUE(http->requests().at(0).url.ends_with(":streamGenerateContent?alt=sse")) << c.name;
    if (!c.code) {
      EXPECT_EQ(report.usage.output_tokens, 1290) << c.name;
      EXPECT_EQ(report.finish_reason, "STOP") << c.name;
    }
  }
}

}  // namespace
}  // namespace zantrel::test_support
