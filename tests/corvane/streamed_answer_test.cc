// A streamed images answer read by the client: the events the service may send, whole or as
// a host's own HTTP stack hands them over (the body at once), into one result and its previews.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/test_data.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::ErrorCode;
using image::corvane::CorvaneClient;
using json = nlohmann::ordered_json;

std::string event(const std::string& type, const json& data) {
  return "event: " + type + "\ndata: " + data.dump() + "\n\n";
}

TEST(ImagesStream, EventsBecomeOneResultAndThePreviewsOnTheWay) {
  const host::Bytes partial = png_bytes("partial");
  const host::Bytes final_image = png_bytes("final");
  const std::string partial_event =
      event("image_generation.partial_image", {{"type", "image_generation.partial_image"},
                                               {"b64_json", b64(host::as_text(partial))},
                                               {"partial_image_index", 0}});
  const std::string completed =
      event("image_generation.completed", {{"type", "image_generation.completed"},
                                           {"b64_json", b64(host::as_text(final_image))},
                                           {"size", "1024x1024"},
                                           {"usage", {{"output_tokens", 1056}}}});
  // The same completed event with its data over two lines (JSON allows the line break).
  const std::string split_completed =
      "data: {\"type\":\"image_generation.completed\",\ndata: \"b64_json\":\"" +
      b64(host::as_text(final_image)) + "\"}\n\n";
  const std::string error_event = event(
      "error", {{"type", "error"}, {"error", {{"type", "server_error"}, {"message", "it broke"}}}});
  const struct {
    const char* name;
    std::string body;
    std::optional<ErrorCode> code;
    std::string message;
    std::vector<std::string> previews;
  } cases[] = {
      {"partial, completed, done",
       partial_event + completed + "data: [DONE]\n\n",
       std::nullopt,
       "",
       {"partial 1 of 1"}},
      {"no done", partial_event + completed, std::nullopt, "", {"partial 1 of 1"}},
      {"completed first", completed + partial_event, std::nullopt, "", {"partial 1 of 1"}},
      {"unnamed events, split data",
       "data: " +
           json{{"type", "image_generation.partial_image"},
                {"b64_json", b64(host::as_text(partial))}}
               .dump() +
           "\n\n" + split_completed,
       std::nullopt,
       "",
       {"partial 1 of 1"}},
      {"an error event",
       partial_event + error_event,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "it broke",
       {"partial 1 of 1"}},
      {"an error member in an unnamed event",
       "data: {\"error\":{\"message\":\"over quota\",\"type\":\"rate\"}}\n\n",
       ErrorCode::IMAGE_GENERATE_FAIL,
       "over quota",
       {}},
      {"no completed event",
       partial_event + "data: [DONE]\n\n",
       ErrorCode::NO_IMAGE_RESULT,
       "",
       {"partial 1 of 1"}},
      {"an event that is not JSON", "data: {\"type\":\n\n", ErrorCode::SERVICE_BUSY, "", {}},
      {"a whole answer instead of a stream",
       json{{"data", {{{"b64_json", b64(host::as_text(final_image))}}}}}.dump(),
       std::nullopt,
       "",
       {}},
  };
  for (const auto& c : cases) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    const testkit::ScopedHttpClient installed{http};
    const CorvaneClient client("http://i", "tok",
                               {"GPT-IMAGE-2", std::make_shared<testkit::CapturingLogger>()});
    http->queue_post(testkit::Reply::json(200, c.body));
    std::vector<std::string> previews;
    host::CallReport report;
    host::CallOptions options;
    options.stream = true;
    options.report = &report;
    options.on_progress = [&](const host::ProgressEvent& e) {
      if (e.preview != nullptr) {
        previews.push_back(host::describe(*e.preview));
        EXPECT_TRUE(std::equal(e.preview->bytes.begin(), e.preview->bytes.end(), partial.begin(),
                               partial.end()))
            << c.name;
      }
    };
    const auto result = client.start({.prompt = "a fox", .partial_images = 1}, options);
    EXPECT_EQ(result.code(), c.code) << c.name << ": " << result.msg().value_or("");
    if (!c.message.empty()) {
      EXPECT_EQ(result.msg().value_or(""), c.message) << c.name;
    }
    if (!c.code) {
      ASSERT_TRUE(result.bytes()) << c.name;
      EXPECT_EQ(*result.bytes(), final_image) << c.name;
    }
    EXPECT_EQ(previews, c.previews) << c.name;
    EXPECT_EQ(report.previews, static_cast<int>(c.previews.size())) << c.name;
    const json sent = json::parse(*http->requests().at(0).json_text);
    EXPECT_EQ(sent["stream"], true) << c.name;
    EXPECT_EQ(sent["partial_images"], 1) << c.name;
  }
}

// The images API was seen in December sending only the final event, however many partial
// images were asked: the image is the result, no preview is invented, and the event's newer
// members reach the report.
TEST(ImagesStream, ACompletedEventAloneIsTheResult) {
  const host::Bytes final_image = png_bytes("final");
  auto http = std::make_shared<testkit::ScriptedHttpClient>();
  const testkit::ScopedHttpClient installed{http};
  const CorvaneClient client("http://i", "tok",
                             {"GPT-IMAGE-2", std::make_shared<testkit::CapturingLogger>()});
  http->queue_post(testkit::Reply::json(
      200, event("image_generation.completed", {{"type", "image_generation.completed"},
                                                {"sequence_number", 4},
                                                {"generation_id", "gen_1"},
                                                {"b64_json", b64(host::as_text(final_image))}}) +
               "data: [DONE]\n\n"));
  int previews = 0;
  host::CallReport report;
  host::CallOptions options;
  options.stream = true;
  options.report = &report;
  options.on_progress = [&](const host::ProgressEvent& e) { previews += e.preview != nullptr; };
  const auto result = client.start({.prompt = "a fox", .partial_images = 2}, options);
  ASSERT_TRUE(result.ok()) << result.msg().value_or("");
  EXPECT_EQ(*result.bytes(), final_image);
  EXPECT_EQ(previews, 0);
  EXPECT_EQ(report.previews, 0);
  EXPECT_EQ(report.answer.sequence_number, 4);
  EXPECT_EQ(report.answer.generation_id, "gen_1");
  EXPECT_TRUE(report.answer.svg_usage.is_null());
}

}  // namespace
}  // namespace zantrel::test_support
