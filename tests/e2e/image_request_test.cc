// Images calls by name against the emulator's direct mode: each member checked against the
// model before sending (and refused by the emulator as the service would when forced through),
// n images from one request, and real jpeg, webp and transparent files.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tools/cli/output/decoded_image.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/internal/codec/sse_reader.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel {
namespace {

using image::corvane::CorvaneClient;
using image::corvane::ImageRequest;
using json = nlohmann::ordered_json;
using test_support::make_canary_key;

class ImageRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = make_canary_key();
    emulator::EmulatorOptions options;
    options.api_key = key_;
    options.dialect = emulator::AcceptedDialect::kDirect;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }

  CorvaneClient client(std::shared_ptr<host::Logger> logger = nullptr) const {
    image::corvane::CorvaneOptions options;
    options.dialect = host::Dialect::kDirect;
    options.logger = std::move(logger);
    return CorvaneClient(emulator_->base_url(), key_, options);
  }

  std::string key_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

host::Bytes picture(int width, int height, bool transparent = false) {
  return emulator::render_picture(7, width, height, {.transparent = transparent});
}

TEST_F(ImageRequests, EachMemberIsCheckedAgainstTheModelBeforeSending) {
  const host::Bytes reference = picture(64, 64);
  const struct {
    const char* name;
    std::function<void(ImageRequest&)> ask;
    std::string refusal;
    // The body sent anyway (the client's check passed over), and the service's error code for
    // it; null when the service has no rule of its own for it.
    json forced;
    json code;
  } cases[] = {
      {"eleven images",
       [](ImageRequest& r) { r.n = 11; },
       "n 11 is out of range; it takes 1 to 10",
       {{"n", 11}},
       "integer_above_max_value"},
      {"no image",
       [](ImageRequest& r) { r.n = 0; },
       "n 0 is out of range; it takes 1 to 10",
       {{"n", 0}},
       "integer_below_min_value"},
      {"transparent on gpt-image-2",
       [](ImageRequest& r) { r.background = "transparent"; },
       "background transparent is not taken by gpt-image-2; it takes opaque, auto",
       {{"background", "transparent"}},
       "invalid_value"},
      {"transparent jpeg",
       [](ImageRequest& r) {
         r.model = "gpt-image-2.5-sunburst";
         r.background = "transparent";
         r.output_format = "jpeg";
       },
       "background transparent needs output_format png or webp",
       {{"model", "gpt-image-2.5-sunburst"},
        {"background", "transparent"},
        {"output_format", "jpeg"}},
       "invalid_value"},
      {"input fidelity on gpt-image-2",
       [&](ImageRequest& r) {
         r.files = reference;
         r.input_fidelity = "high";
       },
       "input_fidelity is not taken by gpt-image-2; it takes n, quality, output_format, "
       "output_compression, background, moderation, mask, user, partial_images, "
       "safety_identifier",
       {{"input_fidelity", "high"}},
       "invalid_input_fidelity_model"},
      {"input fidelity on a 2.6 model",
       [&](ImageRequest& r) {
         r.model = "gpt-image-2.6-sunburst";
         r.files = reference;
         r.input_fidelity = "low";
       },
       "input_fidelity is not taken by gpt-image-2.6-sunburst; it takes n, quality, "
       "output_format, output_compression, background, moderation, mask, user, partial_images, "
       "safety_identifier, transparent_background, complexity",
       {{"model", "gpt-image-2.6-sunburst"}, {"input_fidelity", "low"}},
       "invalid_input_fidelity_model"},
      // A model sent unchecked is still held to what the client itself bounds.
      {"input fidelity without a reference",
       [](ImageRequest& r) {
         r.model = "gpt-image-9";
         r.input_fidelity = "high";
       },
       "input_fidelity is for edits: it needs a reference image", nullptr, nullptr},
      {"unknown format",
       [](ImageRequest& r) { r.output_format = "gif"; },
       "output_format gif is not taken; it takes png, jpeg, webp",
       {{"output_format", "gif"}},
       nullptr},
      {"compression of a png", [](ImageRequest& r) { r.output_compression = 50; },
       "output_compression needs output_format jpeg or webp", nullptr, nullptr},
      {"compression past 100",
       [](ImageRequest& r) {
         r.output_format = "webp";
         r.output_compression = 101;
       },
       "output_compression 101 is out of range; it takes 0 to 100",
       {{"output_format", "webp"}, {"output_compression", 101}},
       nullptr},
      {"unknown moderation", [](ImageRequest& r) { r.moderation = "strict"; },
       "moderation strict is not taken; it takes low, auto", nullptr, nullptr},
      {"unknown quality", [](ImageRequest& r) { r.quality = "hd"; },
       "quality hd is not taken; it takes low, medium, high, auto", nullptr, nullptr},
      {"mask without a reference", [&](ImageRequest& r) { r.mask = picture(64, 64, true); },
       "mask is for edits: it needs a reference image", nullptr, nullptr},
      {"mask whose reference is gone",
       [&](ImageRequest& r) {
         r.files = std::string("/no/such/reference.png");
         r.mask = picture(64, 64, true);
       },
       "reference 1 (/no/such/reference.png) can't be used: no such file", nullptr, nullptr},
      {"mask of another size",
       [&](ImageRequest& r) {
         r.files = reference;
         r.mask = picture(32, 32, true);
       },
       "mask is 32x32; it must be the first image's size, 64x64", nullptr, nullptr},
      {"mask that is no PNG",
       [&](ImageRequest& r) {
         r.files = reference;
         r.mask = emulator::render_picture(7, 64, 64, {.format = emulator::PictureFormat::kJpeg});
       },
       "mask must be a PNG image", nullptr, nullptr},
      {"extra member the client writes",
       [](ImageRequest& r) {
         r.extra = {{"n", 2}};
       },
       "extra member n is one the client writes", nullptr, nullptr},
      {"extra that is no object", [](ImageRequest& r) { r.extra = json::array({1}); },
       "extra must be a JSON object", nullptr, nullptr},
  };
  const CorvaneClient images = client();
  for (const auto& c : cases) {
    ImageRequest request{.prompt = "a fox"};
    c.ask(request);
    host::CallReport report;
    host::CallOptions options;
    options.report = &report;
    const auto before = emulator_->requests();
    const host::ServiceResult result = images.start(request, options);
    EXPECT_EQ(result.code(), host::ErrorCode::INVALID_PARAMS) << c.name;
    EXPECT_EQ(result.msg().value_or(""), c.refusal) << c.name;
    EXPECT_EQ(emulator_->requests(), before) << c.name << ": nothing is sent";
    EXPECT_EQ(report.delivery, host::Delivery::kNotSent) << c.name;
    if (c.forced.is_null()) continue;
    json payload = {{"model", "gpt-image-2"}, {"prompt", "a fox"}, {"n", 1}};
    payload.update(c.forced);
    const host::HttpResponse answer = images._generate_completions(nullptr, nullptr, payload);
    EXPECT_EQ(answer.status_code, 400) << c.name;
    if (c.code.is_null()) continue;
    EXPECT_EQ(answer.json()["error"].value("code", json()), c.code) << c.name;
  }
}

TEST_F(ImageRequests, OneRequestGivesEveryImageInTheFormatAsked) {
  const struct {
    const char* name;
    ImageRequest request;
    const char* mime;
    bool transparent;
  } cases[] = {
      {"three images", {.prompt = "a fox", .aspect_ratio = "3:2", .n = 3}, "image/png", false},
      {"jpeg",
       {.prompt = "a fox", .output_format = "jpeg", .output_compression = 60},
       "image/jpeg",
       false},
      {"transparent webp",
       {.prompt = "a fox",
        .model = "gpt-image-1.5",
        .output_format = "webp",
        .background = "transparent"},
       "image/webp",
       true},
      {"transparent png",
       {.prompt = "a fox", .model = "gpt-image-1", .background = "transparent"},
       "image/png",
       true},
      {"opaque webp",
       {.prompt = "a fox", .output_format = "webp", .background = "opaque", .user = "u-1"},
       "image/webp",
       false},
      {"masked edit",
       {.prompt = "a fox",
        .files = picture(64, 64),
        .moderation = "low",
        .mask = picture(64, 64, true),
        .extra = {{"service_tier", "default"}}},
       "image/png",
       false},
  };
  for (const auto& c : cases) {
    auto logger = std::make_shared<zantrel::testkit::CapturingLogger>();
    host::CallReport report;
    host::CallOptions options;
    options.report = &report;
    const auto before = emulator_->requests();
    const host::ServiceResult result = client(logger).start(c.request, options);
    ASSERT_TRUE(result.ok()) << c.name << ": " << result.msg().value_or("");
    EXPECT_EQ(emulator_->requests(), before + 1) << c.name << ": one request";
    const auto images = result.images();
    ASSERT_EQ(images.size(), static_cast<std::size_t>(c.request.n)) << c.name;
    ASSERT_EQ(report.images.size(), images.size()) << c.name;
    std::set<host::Bytes> distinct;
    for (std::size_t i = 0; i < images.size(); ++i) {
      distinct.emplace(images[i].begin(), images[i].end());
      EXPECT_EQ(report.images[i].mime, c.mime) << c.name;
      const auto decoded = cli::decode_image(images[i]);
      ASSERT_TRUE(decoded) << c.name << ": a whole file";
      EXPECT_EQ(decoded->width, report.images[i].width) << c.name;
      EXPECT_EQ(decoded->transparent_pixels() > 0, c.transparent) << c.name;
    }
    EXPECT_EQ(distinct.size(), images.size()) << c.name << ": each its own picture";
    EXPECT_EQ(report.answer.output_format, c.request.output_format.value_or("png")) << c.name;
    EXPECT_EQ(report.answer.background, c.transparent ? "transparent" : "opaque") << c.name;
    EXPECT_EQ(report.answer.size, std::to_string(report.image->width.value_or(0)) + "x" +
                                      std::to_string(report.image->height.value_or(0)))
        << c.name;
    // The members as sent, the extra ones last.
    json payload;
    for (const json& record : logger->records()) {
      if (record.value("msg", "") == "GPT-IMAGE-2 request api") payload = record["payload"];
    }
    EXPECT_EQ(payload.value("n", 0), c.request.n) << c.name;
    EXPECT_EQ(payload.value("output_format", "png"), c.request.output_format.value_or("png"));
    EXPECT_EQ(payload.value("user", ""), c.request.user.value_or(""));
    for (const auto& [key, value] : c.request.extra.items()) {
      EXPECT_EQ(payload[key], value) << c.name;
      EXPECT_EQ((--payload.end()).key(), key) << c.name << ": merged last";
    }
  }
}

// The emulator's streamed answers, read as a client will read them: the partial images in order,
// then the completed image with the usage, then "[DONE]"; each image a whole file.
TEST_F(ImageRequests, TheEmulatorStreamsPartialImagesThenTheFinalOne) {
  const host::Bytes reference = picture(64, 64);
  for (const bool edit : {false, true}) {
    for (const int partials : {0, 2}) {
      const std::string kind = edit ? "image_edit" : "image_generation";
      host::PostRequest request;
      request.headers = {{"Authorization", "Bearer " + key_}};
      const json members = {{"model", "gpt-image-2"},
                            {"prompt", "a fox"},
                            {"output_format", "webp"},
                            {"stream", true},
                            {"partial_images", partials}};
      std::string url = emulator_->base_url() + "/v1/images/";
      if (edit) {
        host::Form form;
        for (const auto& [key, value] : members.items()) {
          form.fields.push_back({key, value.is_string() ? value.get<std::string>() : value.dump()});
        }
        form.files.push_back({"image", "ref.png", "image/png", reference});
        request.body = std::move(form);
        url += "edits";
      } else {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = host::JsonBody::of(members.dump());
        url += "generations";
      }
      host::CurlHttpClient http;
      const host::HttpResponse answer = http.post(url, request);
      const std::string where = kind + " with " + std::to_string(partials) + " partials";
      ASSERT_EQ(answer.status_code, 200) << where << ": " << answer.text();
      std::vector<std::string> types;
      std::vector<json> data;
      host::internal::SseReader reader;
      const auto on_event = [&](const host::internal::SseEvent& e) {
        types.emplace_back(e.type);
        data.push_back(e.data == "[DONE]" ? json("[DONE]") : json::parse(e.data));
      };
      reader.feed(answer.body, on_event);
      reader.finish(on_event);
      std::vector<std::string> expected(static_cast<std::size_t>(partials),
                                        kind + ".partial_image");
      expected.push_back(kind + ".completed");
      expected.push_back("message");
      ASSERT_EQ(types, expected) << where;
      for (int k = 0; k <= partials; ++k) {
        const json& event = data[static_cast<std::size_t>(k)];
        EXPECT_EQ(event["type"], types[static_cast<std::size_t>(k)]) << where;
        if (k < partials) {
          EXPECT_EQ(event["partial_image_index"], k) << where;
        }
        EXPECT_EQ(event["output_format"], "webp") << where;
        const auto decoded =
            cli::decode_image(host::base64_decode(event["b64_json"].get<std::string>()));
        EXPECT_TRUE(decoded) << where << ": event " << k << " holds a whole WebP file";
      }
      EXPECT_TRUE(data[static_cast<std::size_t>(partials)]["usage"].contains("output_tokens"))
          << where;
      EXPECT_EQ(data.back(), "[DONE]") << where;
    }
  }
}

}  // namespace
}  // namespace zantrel
