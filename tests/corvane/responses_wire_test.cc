// The Responses API's wire form: an images call written as a create with its image tool, and
// the response read into a job's state and its images in order.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/codec/base64.h"
#include "zantrel/image/corvane/internal/response_reader.h"
#include "zantrel/image/corvane/internal/responses_body.h"

namespace zantrel::test_support {
namespace {

using json = nlohmann::ordered_json;
namespace corvane = image::corvane::internal;

TEST(ResponsesBody, PutsTheImageMembersInTheToolAndTheRestAtTheTop) {
  const host::Bytes png = host::to_bytes(std::string("\x89PNG\r\n\x1a\nrest", 12));
  const std::string url = "data:image/png;base64," + host::base64_encode(png);
  const json payload = {{"model", "gpt-image-2"},
                        {"prompt", "a fox"},
                        {"size", "1024x1024"},
                        {"quality", "high"},
                        {"n", 1},
                        {"user", "u-1"}};
  const host::ByteView reference = png;
  const struct {
    const char* what;
    std::vector<host::ByteView> references;
    std::optional<host::ByteView> mask;
    corvane::ResponseShape shape;
    json expected;
  } cases[] = {
      {"a generation",
       {},
       std::nullopt,
       {"gpt-5", false, std::nullopt},
       {{"model", "gpt-5"},
        {"input", {{{"role", "user"}, {"content", {{{"type", "input_text"}, {"text", "a fox"}}}}}}},
        {"tools",
         {{{"type", "image_generation"},
           {"model", "gpt-image-2"},
           {"action", "generate"},
           {"size", "1024x1024"},
           {"quality", "high"}}}},
        {"tool_choice", {{"type", "image_generation"}}},
        {"store", true},
        {"user", "u-1"}}},
      {"an edit with a mask, in the background, after a response",
       {reference},
       reference,
       {"gpt-5", true, "resp_1"},
       {{"model", "gpt-5"},
        {"input",
         {{{"role", "user"},
           {"content",
            {{{"type", "input_text"}, {"text", "a fox"}},
             {{"type", "input_image"}, {"image_url", url}}}}}}},
        {"tools",
         {{{"type", "image_generation"},
           {"model", "gpt-image-2"},
           {"action", "edit"},
           {"size", "1024x1024"},
           {"quality", "high"},
           {"input_image_mask", {{"image_url", url}}}}}},
        {"tool_choice", {{"type", "image_generation"}}},
        {"store", true},
        {"background", true},
        {"previous_response_id", "resp_1"},
        {"user", "u-1"}}},
  };
  for (const auto& c : cases) {
    const host::Bytes bytes =
        host::flatten(corvane::responses_body(payload, c.references, c.mask, c.shape));
    EXPECT_EQ(json::parse(host::as_text(bytes)), c.expected) << c.what;
  }
  EXPECT_TRUE(corvane::responses_refusal({{"complexity", "high"}}));
  EXPECT_FALSE(corvane::responses_refusal(payload));
}

TEST(ResponseReader, ReadsTheStateAndEveryImageInOrder) {
  const auto call = [](const char* image) {
    return std::string(R"({"type":"image_generation_call","id":"ig","status":"completed",)") +
           R"("result":")" + host::base64_encode(host::as_bytes(image)) + R"("})";
  };
  using Phase = host::JobStatus::Phase;
  const struct {
    std::string body;
    Phase phase;
    const char* error;
    std::vector<std::string> images;
    const char* incomplete;
  } cases[] = {
      {R"({"id":"r","status":"completed","output":[)" + call("FIRST") + "," + call("SECOND") +
           R"(,{"type":"message","content":[{"type":"output_text","text":"Done."}]}]})",
       Phase::kDone,
       "",
       {"FIRST", "SECOND"},
       ""},
      {R"({"id":"r","status":"queued","output":[]})", Phase::kWaiting, "", {}, ""},
      {R"({"id":"r","status":"in_progress"})", Phase::kWaiting, "", {}, ""},
      {R"({"id":"r","status":"failed","error":{"code":"server_error","message":"broke"}})",
       Phase::kFailed,
       "broke",
       {},
       ""},
      {R"({"id":"r","status":"cancelled","output":[]})", Phase::kCancelled, "", {}, ""},
      {R"({"id":"r","status":"incomplete","incomplete_details":{"reason":"content_filter"}})",
       Phase::kDone,
       "",
       {},
       "content_filter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(corvane::response_status(c.body).phase, c.phase);
    host::Bytes body = host::to_bytes(c.body);
    const corvane::ResponseAnswer answer = corvane::read_response(body);
    EXPECT_EQ(answer.id, "r");
    EXPECT_EQ(answer.status.error, c.error);
    EXPECT_EQ(answer.incomplete_reason.value_or(""), c.incomplete);
    ASSERT_EQ(answer.images.size(), c.images.size());
    for (std::size_t i = 0; i < c.images.size(); ++i) {
      EXPECT_EQ(host::as_text(answer.images[i]), c.images[i]);
    }
  }
}

}  // namespace
}  // namespace zantrel::test_support
