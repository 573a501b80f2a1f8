// What each model takes, checked before anything is sent, and the model each dialect names.
#include <gtest/gtest.h>

#include <memory>

#include "zantrel/host/config.h"
#include "zantrel/image/tavelin/internal/model_checks.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using host::Dialect;
using json = nlohmann::ordered_json;

constexpr char kImage[] =
    R"({"candidates":[{"content":{"parts":[{"inlineData":{"mimeType":"image/png","data":"iVBORw0KGgo="}}]}}]})";

TEST(ModelChecks, RefuseWhatTheModelDoesNotTakeAndNameTheModelSent) {
  struct Row {
    Dialect dialect;
    const char* model;
    const char* ratio;
    const char* size;
    const char* refusal;  // nullptr: sent
    const char* sent;     // the model in the URL
    bool size_sent;
    const char* note;  // model_note, or nullptr
  };
  const Row rows[] = {
      {Dialect::kDirect, "gemini-nano-banana-2.1", "4:1", "1K", nullptr, "gemini-nano-banana-2.1",
       true, nullptr},
      {Dialect::kDirect, "gemini-nano-banana-2.1", "8:1", "512",
       "image_size 512 is not taken by gemini-nano-banana-2.1; it takes 1K, 2K, 4K", nullptr, false,
       nullptr},
      {Dialect::kDirect, "gemini-3-pro-image", "4:1", "1K",
       "aspect_ratio 4:1 is not taken by gemini-3-pro-image; it takes 1:1, 2:3, 3:2, 3:4, 4:3, "
       "4:5, 5:4, 9:16, 16:9, 21:9",
       nullptr, false, nullptr},
      {Dialect::kGateway, "gemini-3-pro-image", "1:8", "1K",
       "aspect_ratio 1:8 is not taken by gemini-3-pro-image; it takes 1:1, 2:3, 3:2, 3:4, 4:3, "
       "4:5, 5:4, 9:16, 16:9, 21:9",
       nullptr, false, nullptr},
      {Dialect::kDirect, "gemini-3-pro-image", "16:9", "512",
       "image_size 512 is not taken by gemini-3-pro-image; it takes 1K, 2K, 4K", nullptr, false,
       nullptr},
      {Dialect::kDirect, "gemini-3.1-flash-lite-image", "1:1", "2k",
       "image_size 2K is not taken by gemini-3.1-flash-lite-image; it takes 1K", nullptr, false,
       nullptr},
      // Takes no size: none is sent in the direct form, the gateway's bytes stay as they are.
      {Dialect::kDirect, "gemini-2.5-flash-image", "16:9", "4K", nullptr, "gemini-2.5-flash-image",
       false, nullptr},
      {Dialect::kGateway, "gemini-2.5-flash-image", "16:9", "4K", nullptr, "gemini-2.5-flash-image",
       true, nullptr},
      // Retired: the public endpoint gets the replacement, a gateway the name as given.
      {Dialect::kDirect, "gemini-3-pro-image-preview", "2:3", "1K", nullptr, "gemini-3-pro-image",
       true, "gemini-3-pro-image-preview was retired on 2026-06-25; sent as gemini-3-pro-image"},
      {Dialect::kGateway, "gemini-3-pro-image-preview", "2:3", "1K", nullptr,
       "gemini-3-pro-image-preview", true, nullptr},
      // A replacement itself shut down is followed to the model served, and checked as that.
      {Dialect::kDirect, "gemini-3.1-flash-image-preview", "8:1", "2K", nullptr,
       "gemini-nano-banana-2.1", true,
       "gemini-3.1-flash-image-preview was retired on 2026-06-25; sent as "
       "gemini-nano-banana-2.1"},
      {Dialect::kDirect, "gemini-3.1-flash-image", "1:4", "4K", nullptr, "gemini-nano-banana-2.1",
       true, "gemini-3.1-flash-image was retired on 2026-10-29; sent as gemini-nano-banana-2.1"},
      // A name the catalogue does not know: the service decides, so the direct form sends it
      // as asked, unchecked; a gateway's list (the catalogue) refuses it.
      {Dialect::kDirect, "gemini-9-image", "7:3", "512", nullptr, "gemini-9-image", true,
       "not in the catalogue of 2026-12-10; sent unchecked"},
      {Dialect::kGateway, "gemini-9-image", "1:1", "1K", "Invalid model: gemini-9-image", nullptr,
       false, nullptr},
      {Dialect::kDirect, "gemini-nano-banana-2.1", "7:3", "1K", "Invalid aspect_ratio: 7:3",
       nullptr, false, nullptr},
  };
  for (const Row& row : rows) {
    const std::string where = std::string(row.model) + " " + row.ratio + " " + row.size + " " +
                              std::string(host::to_string(row.dialect));
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    testkit::ScopedHttpClient installed{http};
    auto logger = std::make_shared<testkit::CapturingLogger>();
    image::tavelin::TavelinaOptions options{"TAG", logger};
    options.dialect = row.dialect;
    const image::tavelin::TavelinaClient client("http://h", "k", options);
    if (!row.refusal) http->queue_post(testkit::Reply::json(200, kImage));
    host::CallReport report;
    host::CallOptions call;
    call.report = &report;
    const auto result = client.start("p", row.ratio, row.size, {}, row.model, call);
    if (row.refusal) {
      EXPECT_EQ(result.code(), host::ErrorCode::INVALID_PARAMS) << where;
      EXPECT_EQ(result.msg(), row.refusal) << where;
      EXPECT_TRUE(http->requests().empty()) << where;
      EXPECT_EQ(report.attempts, 0) << where;
      continue;
    }
    ASSERT_EQ(http->requests().size(), 1U) << where;
    const auto request = http->requests().front();
    EXPECT_EQ(request.url, "http://h/v1beta/models/" + std::string(row.sent) + ":generateContent")
        << where;
    const json sent = json::parse(*request.json_text);
    EXPECT_EQ(sent["generationConfig"]["imageConfig"].contains("imageSize"), row.size_sent)
        << where;
    EXPECT_EQ(report.model_sent, row.sent) << where;
    EXPECT_EQ(report.model_note, row.note ? std::optional<std::string>(row.note) : std::nullopt)
        << where;
    int noted_records = 0;
    for (const auto& record : logger->records()) {
      if (record["msg"] == "TAG model replaced" || record["msg"] == "TAG model unchecked") {
        ++noted_records;
        EXPECT_EQ(record["model_name"], row.model) << where;
      }
    }
    EXPECT_EQ(noted_records, row.note ? 1 : 0) << where;
  }
}

// A host's own catalogue replaces the library's at start-up; the host's lists follow it.
TEST(ModelChecks, AHostsCatalogueDecides) {
  const auto own = std::make_shared<const host::ModelCatalogue>(host::ModelCatalogue::from_json(
      json::parse(R"({"models": [{"name": "house-image", "service": "gemini",
                                  "aspect_ratios": ["1:1", "7:3"], "image_sizes": ["1K"]}]})")));
  config::set_model_catalogue(own);
  const struct Restore {
    ~Restore() { config::set_model_catalogue(nullptr); }
  } restore;
  EXPECT_EQ(config::SUPPORTED_MODELS.list(), std::vector<std::string>{"house-image"});
  EXPECT_EQ(config::SUPPORTED_RATIOS.list(), (std::vector<std::string>{"1:1", "7:3"}));
  auto http = std::make_shared<testkit::ScriptedHttpClient>();
  testkit::ScopedHttpClient installed{http};
  http->queue_post(testkit::Reply::json(200, kImage));
  const image::tavelin::TavelinaClient client("http://h", "k");
  EXPECT_TRUE(client.start("p", "7:3", "1K", {}, "house-image").ok());
  EXPECT_EQ(client.start("p", "1:1", "1K", {}, "gemini-3-pro-image").msg(),
            "Invalid model: gemini-3-pro-image");
}

TEST(ModelChecks, TheLibrarysListsKeepTheSeedsNamesBesideTodays) {
  for (const char* model :
       {"gemini-3-pro-image-preview", "gemini-3.1-flash-image-preview", "gemini-2.5-flash-image",
        "gemini-3-pro-image", "gemini-3.1-flash-image", "gemini-3.1-flash-lite-image"}) {
    EXPECT_TRUE(config::SUPPORTED_MODELS.contains(model)) << model;
  }
  EXPECT_FALSE(config::SUPPORTED_MODELS.contains("gpt-image-2"));
  EXPECT_EQ(config::SUPPORTED_RATIOS.list().size(), 14U);
}

TEST(ModelChecks, CatalogueDocumentsRoundTripAndBadOnesAreNamed) {
  const auto& builtin = host::ModelCatalogue::builtin();
  EXPECT_EQ(host::ModelCatalogue::from_json(builtin.to_json()).to_json(), builtin.to_json());
  const struct {
    const char* document;
    const char* error;
  } bad[] = {
      {R"({"models": 3})", "model catalogue: expected a list of models (or {\"models\": [...]})"},
      {R"([{"service": "gemini"}])", "model catalogue entry 0: \"name\" must be a text"},
      {R"([{"name": "a", "service": "video"}])",
       "model catalogue entry 0: \"service\" must be \"gemini\" or \"images\""},
      {R"([{"name": "a", "service": "gemini", "aspect_ratios": "1:1"}])",
       "model catalogue entry 0: \"aspect_ratios\" must be a list of texts"},
      {R"([{"name": "a", "service": "gemini", "retired_on": "2026-01-01"}])",
       "model catalogue entry 0: a is retired but names no replacement"},
      {R"([{"name": "a", "service": "gemini", "shutdown_on": "soon", "replacement": "b"}])",
       "model catalogue entry 0: \"shutdown_on\" must be a day as YYYY-MM-DD"},
      {R"([{"name": "a", "service": "images", "values": {"quality": "max"}}])",
       "model catalogue entry 0: \"quality\" must be a list of texts"},
      {R"([{"name": "a", "service": "gemini"}, {"name": "a", "service": "images"}])",
       "model catalogue entry 1: a is listed twice"},
  };
  for (const auto& c : bad) {
    try {
      (void)host::ModelCatalogue::from_json(json::parse(c.document));
      ADD_FAILURE() << c.document << " was taken";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
}

TEST(GenerationRequests, CheckedAgainstTheModelAndWrittenIntoTheBody) {
  using image::tavelin::GenerationRequest;
  struct Row {
    const char* name;
    Dialect dialect;
    GenerationRequest request;
    const char* refusal;  // nullptr: sent
  };
  const auto flash = [](auto change) {
    GenerationRequest request{.prompt = "p",
                              .aspect_ratio = "4:1",
                              .image_size = "1K",
                              .model = "gemini-nano-banana-2.1"};
    change(request);
    return request;
  };
  const Row rows[] = {
      {"every member", Dialect::kDirect, flash([](GenerationRequest& r) {
         r.seed = 7;
         r.temperature = 0.5;
         r.thinking_level = "high";
         r.with_text = true;
         r.safety_settings = {{"HARM_CATEGORY_HARASSMENT", "BLOCK_ONLY_HIGH"}};
         r.extra = {{"labels", {{"team", "art"}}}};
       }),
       nullptr},
      {"thinking on a model without it", Dialect::kDirect, flash([](GenerationRequest& r) {
         r.model = "gemini-3-pro-image";
         r.aspect_ratio = "1:1";
         r.image_size = "1K";
         r.thinking_level = "high";
       }),
       "thinking_level is not taken by gemini-3-pro-image; it takes seed, temperature, "
       "safety_settings, response_modalities"},
      {"thinking level", Dialect::kDirect,
       flash([](GenerationRequest& r) { r.thinking_level = "maximal"; }),
       "thinking_level maximal is not taken by gemini-nano-banana-2.1; it takes minimal, medium, "
       "high"},
      {"thinking level of the Gemini 3 list", Dialect::kGateway, flash([](GenerationRequest& r) {
         r.model = "gemini-3.1-flash-image-preview";
         r.thinking_level = "medium";
       }),
       "thinking_level medium is not taken by gemini-3.1-flash-image-preview; it takes minimal, "
       "high"},
      {"temperature", Dialect::kDirect, flash([](GenerationRequest& r) { r.temperature = 3; }),
       "temperature 3 is out of range; it takes 0 to 2"},
      {"threshold", Dialect::kDirect, flash([](GenerationRequest& r) {
         r.safety_settings = {{"HARM_CATEGORY_X", "SOME"}};
       }),
       "safety threshold SOME is not taken; it takes BLOCK_NONE, BLOCK_ONLY_HIGH, "
       "BLOCK_MEDIUM_AND_ABOVE, BLOCK_LOW_AND_ABOVE, OFF"},
      {"category", Dialect::kDirect, flash([](GenerationRequest& r) {
         r.safety_settings = {{"VIOLENCE", "OFF"}};
       }),
       "safety category VIOLENCE is not a harm category (HARM_CATEGORY_...)"},
      {"extra clash", Dialect::kDirect, flash([](GenerationRequest& r) {
         r.extra = {{"generationConfig", {{"topK", 3}}}};
       }),
       "extra member generationConfig is one the client writes"},
      {"extra clash, gateway", Dialect::kGateway, flash([](GenerationRequest& r) {
         r.extra = {{"response_format", "b64"}};
       }),
       "extra member response_format is one the client writes"},
      {"extra not an object", Dialect::kDirect,
       flash([](GenerationRequest& r) { r.extra = json::array({1}); }),
       "extra must be a JSON object"},
  };
  for (const Row& row : rows) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    testkit::ScopedHttpClient installed{http};
    image::tavelin::TavelinaOptions options;
    options.dialect = row.dialect;
    const image::tavelin::TavelinaClient client("http://h", "k", options);
    if (!row.refusal) {
      http->queue_post(testkit::Reply::json(
          200,
          R"({"candidates":[{"content":{"parts":[{"text":"planning","thought":true},)"
          R"({"text":"A fox."},{"inlineData":{"mimeType":"image/png","data":"iVBORw0KGgo="}}]}}]})"));
    }
    host::CallReport report;
    host::CallOptions call;
    call.report = &report;
    const auto result = client.start(row.request, call);
    if (row.refusal) {
      EXPECT_EQ(result.msg(), row.refusal) << row.name;
      EXPECT_EQ(result.code(), host::ErrorCode::INVALID_PARAMS) << row.name;
      EXPECT_TRUE(http->requests().empty()) << row.name;
      continue;
    }
    ASSERT_EQ(http->requests().size(), 1U) << row.name;
    const json sent = json::parse(*http->requests().front().json_text);
    EXPECT_EQ(sent["generationConfig"],
              json::parse(R"({"responseModalities":["TEXT","IMAGE"],)"
                          R"("imageConfig":{"aspectRatio":"4:1","imageSize":"1K"},"seed":7,)"
                          R"("temperature":0.5,"thinkingConfig":{"thinkingLevel":"high"}})"))
        << row.name;
    EXPECT_EQ(
        sent["safetySettings"],
        json::parse(R"([{"category":"HARM_CATEGORY_HARASSMENT","threshold":"BLOCK_ONLY_HIGH"}])"))
        << row.name;
    EXPECT_EQ(sent["labels"], (json{{"team", "art"}})) << row.name;
    EXPECT_EQ(report.text, "A fox.") << row.name;
  }
}

// A request by name with nothing beyond the contract's members sends the contract's bytes.
TEST(GenerationRequests, WithoutNewMembersSendTheContractsBytes) {
  for (const Dialect dialect : {Dialect::kGateway, Dialect::kDirect}) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    testkit::ScopedHttpClient installed{http};
    image::tavelin::TavelinaOptions options;
    options.dialect = dialect;
    const image::tavelin::TavelinaClient client("http://h", "k", options);
    http->queue_post(testkit::Reply::json(200, kImage));
    http->queue_post(testkit::Reply::json(200, kImage));
    (void)client.start("p", "16:9", "2K", {}, "gemini-3-pro-image");
    (void)client.start(
        {.prompt = "p", .aspect_ratio = "16:9", .image_size = "2K", .model = "gemini-3-pro-image"});
    const auto requests = http->requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].json_text, requests[1].json_text) << host::to_string(dialect);
    EXPECT_EQ(requests[0].url, requests[1].url);
  }
}

// What a request carries is bounded before sending: the model's images (references and a
// conversation's earlier ones) and, in the direct form, the public endpoint's 100 MB inline.
TEST(ModelChecks, TheImagesAndTheInlineSizeOfARequestAreBounded) {
  const host::Bytes picture = host::to_bytes(std::string("\x89PNG\r\n\x1a\nbody", 12));
  const auto images_of = [](const host::Bytes& image, int count) {
    return std::vector<host::Reference>(static_cast<std::size_t>(count), image);
  };
  // Pictures that differ from each other.
  const auto distinct = [&picture](int count, int first = 0) {
    std::vector<host::Reference> out;
    for (int k = first; k < first + count; ++k) {
      host::Bytes image = picture;
      image.push_back(static_cast<std::uint8_t>(k));
      out.emplace_back(std::move(image));
    }
    return out;
  };
  const struct {
    const char* model;
    std::vector<host::Reference> files;
    Dialect dialect;
    const char* refusal;  // nullptr: sent
    // A conversation's earlier user turn with these images (empty: a single call).
    std::vector<host::Reference> earlier{};
  } rows[] = {
      {"gemini-3-pro-image", images_of(picture, 14), Dialect::kDirect, nullptr},
      {"gemini-3-pro-image", images_of(picture, 15), Dialect::kDirect,
       "the request carries 15 images; gemini-3-pro-image takes 14 at most"},
      {"gemini-2.5-flash-image", images_of(picture, 4), Dialect::kGateway,
       "the request carries 4 images; gemini-2.5-flash-image takes 3 at most"},
      // The same references in every turn count once; other earlier ones count too.
      {"gemini-3-pro-image", distinct(10), Dialect::kDirect, nullptr, distinct(10)},
      {"gemini-3-pro-image", distinct(5), Dialect::kDirect,
       "the request carries 15 images; gemini-3-pro-image takes 14 at most", distinct(10, 5)},
  };
  for (const auto& row : rows) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    const testkit::ScopedHttpClient installed{http};
    if (!row.refusal) http->queue_post(testkit::Reply::json(200, kImage));
    image::tavelin::TavelinaOptions options;
    options.dialect = row.dialect;
    options.logger = std::make_shared<testkit::CapturingLogger>();
    const image::tavelin::TavelinaClient client("http://g", "key", options);
    const image::tavelin::GenerationRequest request{
        .prompt = "p", .files = row.files, .model = row.model};
    host::Conversation conversation;
    if (!row.earlier.empty()) {
      host::ConversationTurn asked{"user", {{"before", nullptr, "", std::nullopt, std::nullopt}}};
      for (const host::Reference& image : row.earlier) {
        asked.parts.push_back({std::nullopt,
                               std::make_shared<const host::Bytes>(std::get<host::Bytes>(image)),
                               "image/png", std::nullopt, std::nullopt});
      }
      conversation.add(std::move(asked));
      conversation.add({"model", {{"done", nullptr, "", std::nullopt, std::nullopt}}});
    }
    const auto result =
        row.earlier.empty() ? client.start(request) : client.continue_with(conversation, request);
    if (row.refusal) {
      EXPECT_EQ(result.code(), host::ErrorCode::INVALID_PARAMS) << row.refusal;
      EXPECT_EQ(result.msg().value_or(""), row.refusal);
      EXPECT_TRUE(http->requests().empty()) << row.refusal;
    } else {
      EXPECT_TRUE(result.ok()) << row.model << ": " << result.msg().value_or("");
    }
  }
  using image::tavelin::internal::inline_size_refusal;
  EXPECT_EQ(inline_size_refusal(109'100'000, true),
            "the request is 109.1 MB inline; the service takes 100 MB at most (send fewer or "
            "smaller images, or upload them: upload_references)");
  EXPECT_EQ(inline_size_refusal(100'000'000, true), std::nullopt);
  EXPECT_EQ(inline_size_refusal(109'100'000, false), std::nullopt) << "a gateway sets its own";
}

}  // namespace
}  // namespace zantrel::test_support
