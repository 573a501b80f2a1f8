// The Interactions API's wire form: the create body a request is written into, and the
// Interaction's body read into a job's state, its image and its usage.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/codec/base64.h"
#include "zantrel/image/tavelin/internal/interaction_reader.h"
#include "zantrel/image/tavelin/internal/interactions_body.h"

namespace zantrel::test_support {
namespace {

using image::tavelin::GenerationRequest;
using json = nlohmann::json;
namespace tavelin = image::tavelin::internal;

json body_of(const GenerationRequest* request, const tavelin::InteractionShape& shape,
             std::span<const host::Bytes> images = {}) {
  const host::Bytes bytes =
      host::flatten(tavelin::interactions_body("a fox", images, shape, request));
  return json::parse(host::as_text(bytes));
}

TEST(InteractionsBody, WritesEachMemberUnderTheAPIsOwnName) {
  const host::Bytes png = host::to_bytes(std::string("\x89PNG\r\n\x1a\nrest", 12));
  const std::vector<host::Bytes> images = {png};
  GenerationRequest full{.prompt = "a fox", .seed = 7, .thinking_level = "high", .with_text = true};
  full.safety_settings = {{"HARM_CATEGORY_HARASSMENT", "BLOCK_NONE"}};
  full.extra = {{"store", false}};
  const struct {
    const char* what;
    const GenerationRequest* request;
    tavelin::InteractionShape shape;
    json expected;
  } cases[] = {
      {"plain",
       nullptr,
       {"gemini-3-pro-image", "16:9", "2K", false, std::nullopt},
       {{"model", "gemini-3-pro-image"},
        {"input",
         {{{"type", "text"}, {"text", "a fox"}},
          {{"type", "image"}, {"mime_type", "image/png"}, {"data", host::base64_encode(png)}}}},
        {"response_format",
         {{{"type", "image"}, {"aspect_ratio", "16:9"}, {"image_size", "2K"}}}}}},
      {"every member, in the background, after an interaction",
       &full,
       {"m", std::nullopt, std::nullopt, true, "v1_prev"},
       {{"model", "m"},
        {"input",
         {{{"type", "text"}, {"text", "a fox"}},
          {{"type", "image"}, {"mime_type", "image/png"}, {"data", host::base64_encode(png)}}}},
        {"response_format", {{{"type", "text"}}, {{"type", "image"}}}},
        {"generation_config", {{"seed", 7}, {"thinking_level", "high"}}},
        {"safety_settings", {{{"type", "harassment"}, {"threshold", "block_none"}}}},
        {"previous_interaction_id", "v1_prev"},
        {"background", true},
        {"store", false}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(body_of(c.request, c.shape, images), c.expected) << c.what;
  }
  GenerationRequest warm{.prompt = "a fox", .temperature = 0.5};
  EXPECT_NE(tavelin::interactions_refusal(warm).value_or("").find("temperature"),
            std::string::npos);
  EXPECT_FALSE(tavelin::interactions_refusal(full));
}

TEST(InteractionReader, ReadsTheStateTheImageAndTheUsage) {
  const std::string image = host::base64_encode(host::as_bytes("IMAGE"));
  const std::string preview = host::base64_encode(host::as_bytes("THOUGHT IMAGE, LONGER"));
  const std::string output = R"({"type":"model_output","content":[{"type":"text","text":"Here."},)"
                             R"({"type":"image","mime_type":"image/png","data":")" +
                             image + R"("}]})";
  const std::string thought =
      R"({"type":"thought","summary":[{"type":"image","mime_type":"image/png","data":")" + preview +
      R"("}]})";
  using Phase = host::JobStatus::Phase;
  const struct {
    std::string body;
    Phase phase;
    const char* error;
    const char* image;  // nullptr: none
    int previews;
  } cases[] = {
      {R"({"id":"a","status":"completed","steps":[)" + thought + "," + output +
           R"(],"usage":{"total_tokens":9}})",
       Phase::kDone, "", "IMAGE", 1},
      {R"({"id":"a","status":"in_progress"})", Phase::kWaiting, "", nullptr, 0},
      {R"({"id":"a","status":"queued"})", Phase::kWaiting, "", nullptr, 0},
      {R"({"id":"a","status":"a state of tomorrow"})", Phase::kWaiting, "", nullptr, 0},
      {R"({"id":"a","status":"failed","errors":[{"code":"x","message":"it broke"}]})",
       Phase::kFailed, "it broke", nullptr, 0},
      {R"({"id":"a","status":"completed","steps":[{"type":"model_output","error":)"
       R"({"code":3,"message":"refused"}}]})",
       Phase::kDone, "refused", nullptr, 0},
      {R"({"id":"a","status":"cancelled"})", Phase::kCancelled, "", nullptr, 0},
      {R"({"id":"a","status":"budget_exceeded"})", Phase::kFailed, "", nullptr, 0},
      {R"({"id":"a","status":"completed","output_image":{"type":"image","data":")" + image +
           R"("}})",
       Phase::kDone, "", "IMAGE", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(tavelin::interaction_status(c.body).phase, c.phase);
    host::Bytes body = host::to_bytes(c.body);
    const tavelin::InteractionAnswer answer = tavelin::read_interaction(body);
    EXPECT_EQ(answer.id, "a");
    EXPECT_EQ(answer.status.phase, c.phase);
    EXPECT_EQ(answer.status.error, c.error);
    EXPECT_EQ(answer.previews, c.previews);
    ASSERT_EQ(answer.image.has_value(), c.image != nullptr);
    if (c.image != nullptr) {
      EXPECT_EQ(host::as_text(*answer.image), c.image);
    }
  }
  EXPECT_EQ(tavelin::interaction_status("not json").phase, Phase::kWaiting);
}

}  // namespace
}  // namespace zantrel::test_support
