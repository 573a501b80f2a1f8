// The two wire dialects end to end: both clients and the CLI against the emulator answering as
// the public endpoints do (direct mode), and the raw refusals those endpoints give.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/cli/core/call_setup.h"
#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/config.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::test_support {
namespace {

using host::Dialect;
using host::ErrorCode;
using json = nlohmann::ordered_json;

constexpr char kGeminiBearerRefused[] =
    "Request had invalid authentication credentials. Expected OAuth 2 access token, login cookie "
    "or other valid authentication credential. See "
    "https://developers.google.com/identity/sign-in/web/devconsole-project.";

struct ClientRun {
  const char* name;
  emulator::AcceptedDialect accepts;
  const char* service;  // "gemini" or "images"
  Dialect dialect;
  int references = 0;
  std::optional<std::string> model{};  // images only
  std::optional<ErrorCode> code{};     // nothing: an image
  std::optional<std::string> msg{};
};

void PrintTo(const ClientRun& run, std::ostream* out) { *out << run.name; }

class DialectRun : public ::testing::TestWithParam<ClientRun> {
 protected:
  host::ServiceResult call(const ClientRun& run, const std::string& base_url) const {
    std::vector<host::Reference> references;
    for (int i = 0; i < run.references; ++i) {
      references.emplace_back(emulator::render_png(static_cast<std::uint64_t>(i), 64, 48));
    }
    if (std::string(run.service) == "gemini") {
      image::tavelin::TavelinaOptions options{"TAVELIN", log_};
      options.dialect = run.dialect;
      return image::tavelin::TavelinaClient(base_url, key_, options)
          .start("a lake", "1:1", "1K", references);
    }
    image::corvane::CorvaneOptions options{"GPT-IMAGE-2", log_};
    options.dialect = run.dialect;
    image::corvane::ImageCallOptions call_options;
    call_options.model = run.model;
    return image::corvane::CorvaneClient(base_url, key_, options)
        .start("a lake", "", "", "", references, call_options);
  }

  std::string key_ = make_canary_key();
  std::shared_ptr<testkit::CapturingLogger> log_ = std::make_shared<testkit::CapturingLogger>();
};

TEST_P(DialectRun, EndsAsThePublicEndpointWould) {
  const ClientRun& run = GetParam();
  emulator::EmulatorOptions options;
  options.api_key = key_;
  options.dialect = run.accepts;
  emulator::Emulator emulator(options);
  emulator.start();
  const host::ServiceResult result = call(run, emulator.base_url());
  if (!run.code) {
    ASSERT_TRUE(result.ok()) << to_string(*result.code()) << " " << result.msg().value_or("");
    ASSERT_NE(result.bytes(), nullptr);
    EXPECT_FALSE(result.bytes()->empty());
  } else {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(*result.code(), *run.code);
    EXPECT_EQ(result.msg(), run.msg);
  }
  EXPECT_FALSE(leaks(result.msg().value_or(""), key_));
  for (const auto& record : log_->records()) EXPECT_FALSE(leaks(record.dump(), key_)) << record;
}

constexpr auto kDirectOnly = emulator::AcceptedDialect::kDirect;
constexpr auto kGatewayOnly = emulator::AcceptedDialect::kGateway;
constexpr auto kEither = emulator::AcceptedDialect::kBoth;

INSTANTIATE_TEST_SUITE_P(
    Table, DialectRun,
    ::testing::Values(
        ClientRun{"gemini_direct_passes", kDirectOnly, "gemini", Dialect::kDirect, 2},
        ClientRun{"gemini_gateway_key_as_bearer_is_refused",
                  kDirectOnly,
                  "gemini",
                  Dialect::kGateway,
                  0,
                  {},
                  ErrorCode::IMAGE_GENERATE_FAIL,
                  kGeminiBearerRefused},
        ClientRun{"gemini_direct_refused_by_a_gateway",
                  kGatewayOnly,
                  "gemini",
                  Dialect::kDirect,
                  0,
                  {},
                  ErrorCode::IMAGE_GENERATE_FAIL,
                  "API key not valid. Please pass a valid API key."},
        ClientRun{"gemini_either_takes_direct", kEither, "gemini", Dialect::kDirect},
        ClientRun{"images_direct_generation_passes", kDirectOnly, "images", Dialect::kDirect},
        ClientRun{"images_direct_edit_of_two_passes", kDirectOnly, "images", Dialect::kDirect, 2},
        ClientRun{"images_direct_edit_of_one_passes", kDirectOnly, "images", Dialect::kDirect, 1},
        ClientRun{"images_gateway_response_format_is_refused",
                  kDirectOnly,
                  "images",
                  Dialect::kGateway,
                  0,
                  {},
                  ErrorCode::IMAGE_GENERATE_FAIL,
                  "Unknown parameter: 'response_format'."},
        ClientRun{"images_gateway_empty_size_is_refused", kDirectOnly, "images", Dialect::kGateway,
                  0, "dall-e-3", ErrorCode::IMAGE_GENERATE_FAIL,
                  "Invalid value: ''. Supported values are: 'auto' and sizes WIDTHxHEIGHT."},
        ClientRun{"images_either_takes_direct_edit", kEither, "images", Dialect::kDirect, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// An emulator answering as the public endpoints do, taking `key`.
std::unique_ptr<emulator::Emulator> direct_emulator(const std::string& key) {
  emulator::EmulatorOptions options;
  options.api_key = key;
  options.dialect = kDirectOnly;
  auto emulator = std::make_unique<emulator::Emulator>(options);
  emulator->start();
  return emulator;
}

// Raw requests: the emulator's direct mode gives the public endpoints' statuses and bodies.
TEST(DirectEmulator, RefusesWhatThePublicEndpointsRefuse) {
  const std::string key = make_canary_key();
  const auto emulator_ptr = direct_emulator(key);
  emulator::Emulator& emulator = *emulator_ptr;
  const std::string gemini = "/v1beta/models/gemini-2.5-flash-image:generateContent";
  const std::string body = R"({"contents":[{"role":"user","parts":[{"text":"a"}]}],)"
                           R"("generationConfig":{"responseModalities":["IMAGE"]})";
  const struct {
    const char* name;
    std::string path;
    host::Headers headers;
    std::string body;
    int status;
    json error;  // the members of "error" that must be there
  } cases[] = {
      {"key as bearer",
       gemini,
       {{"Authorization", "Bearer " + key}},
       body + "}",
       401,
       {{"status", "UNAUTHENTICATED"}, {"message", kGeminiBearerRefused}}},
      {"no key", gemini, {}, body + "}", 403, {{"status", "PERMISSION_DENIED"}}},
      {"wrong key",
       gemini,
       {{"x-goog-api-key", "nope"}},
       body + "}",
       400,
       {{"status", "INVALID_ARGUMENT"},
        {"message", "API key not valid. Please pass a valid API key."}}},
      {"unknown member",
       gemini,
       {{"x-goog-api-key", key}},
       body + R"(,"response_format":"url"})",
       400,
       {{"status", "INVALID_ARGUMENT"},
        {"message",
         R"(Invalid JSON payload received. Unknown name "response_format": Cannot find field.)"}}},
      {"direct body passes", gemini, {{"x-goog-api-key", key}}, body + "}", 200, nullptr},
      // What each model takes, by the catalogue (the client refuses these before sending).
      {"retired model",
       "/v1beta/models/gemini-3-pro-image-preview:generateContent",
       {{"x-goog-api-key", key}},
       body + "}",
       404,
       {{"status", "NOT_FOUND"},
        {"message",
         "models/gemini-3-pro-image-preview is not found for API version v1beta, or is not "
         "supported for generateContent. Call ListModels to see the list of available models "
         "and their supported methods."}}},
      {"unknown model",
       "/v1beta/models/gemini-9-image:generateContent",
       {{"x-goog-api-key", key}},
       body + "}",
       404,
       {{"status", "NOT_FOUND"}}},
      {"ratio the model does not take",
       "/v1beta/models/gemini-3-pro-image:generateContent",
       {{"x-goog-api-key", key}},
       R"({"contents":[{"role":"user","parts":[{"text":"a"}]}],"generationConfig":)"
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"4:1"}}})",
       400,
       {{"status", "INVALID_ARGUMENT"},
        {"message",
         "* GenerateContentRequest.generation_config.image_config.aspect_ratio: aspect_ratio "
         "must be one of '1:1', '2:3', '3:2', '3:4', '4:3', '4:5', '5:4', '9:16', '16:9', "
         "'21:9'\n"}}},
      {"ratio the model takes",
       "/v1beta/models/gemini-nano-banana-2.1:generateContent",
       {{"x-goog-api-key", key}},
       R"({"contents":[{"role":"user","parts":[{"text":"a"}]}],"generationConfig":)"
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"4:1","imageSize":"1K"}}})",
       200,
       nullptr},
      {"size the model does not take",
       "/v1beta/models/gemini-nano-banana-2.1:generateContent",
       {{"x-goog-api-key", key}},
       R"({"contents":[{"role":"user","parts":[{"text":"a"}]}],"generationConfig":)"
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"1:1","imageSize":"512"}}})",
       400,
       {{"status", "INVALID_ARGUMENT"}}},
      {"model shut down",
       "/v1beta/models/gemini-3.1-flash-image:generateContent",
       {{"x-goog-api-key", key}},
       body + "}",
       404,
       {{"status", "NOT_FOUND"}}},
      {"two candidates",
       gemini,
       {{"x-goog-api-key", key}},
       R"({"contents":[{"role":"user","parts":[{"text":"a"}]}],"generationConfig":)"
       R"({"responseModalities":["IMAGE"],"candidateCount":2}})",
       400,
       {{"status", "INVALID_ARGUMENT"},
        {"message", "Multiple candidates is not enabled for this model"}}},
      {"images model shut down",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-1","prompt":"a","size":"1536x1024","n":1})",
       404,
       {{"message", "The model `gpt-image-1` does not exist or you do not have access to it."},
        {"param", nullptr},
        {"code", "model_not_found"}}},
      {"quality gpt-image-2 does not take",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-2","prompt":"a","quality":"xhigh","n":1})",
       400,
       {{"message",
         "Invalid value: 'xhigh'. Supported values are: 'low', 'medium', 'high', and 'auto'."},
        {"param", "quality"},
        {"code", "invalid_value"}}},
      {"quality, complexity and gif of a 2.6 model",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-2.6-sunburst","prompt":"a","quality":"xhigh","complexity":"low",)"
       R"("output_format":"gif","n":1})",
       200,
       nullptr},
      {"complexity before 2.6",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-2.5-flare","prompt":"a","complexity":"low","n":1})",
       400,
       {{"param", "complexity"}, {"code", "unknown_parameter"}}},
      {"response_format for gpt-image",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-2","prompt":"a","response_format":"b64_json","n":1})",
       400,
       {{"message", "Unknown parameter: 'response_format'."},
        {"type", "invalid_request_error"},
        {"param", "response_format"},
        {"code", "unknown_parameter"}}},
      {"empty quality",
       "/v1/images/generations",
       {{"Authorization", "Bearer " + key}},
       R"({"model":"gpt-image-2","prompt":"a","quality":"","n":1})",
       400,
       {{"param", "quality"}, {"code", "invalid_value"}}},
  };
  host::CurlHttpClient http;
  for (const auto& c : cases) {
    host::PostRequest request;
    request.headers = c.headers;
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = host::JsonBody::of(c.body);
    const host::HttpResponse response = http.post(emulator.base_url() + c.path, request);
    EXPECT_EQ(response.status_code, c.status) << c.name;
    if (c.error.is_null()) continue;
    const json error = response.json().value("error", json::object());
    for (const auto& [member, value] : c.error.items()) {
      EXPECT_EQ(error.value(member, json()), value) << c.name << ": " << member;
    }
  }
}

// A model that takes only listed sizes (a host's catalogue may describe one): the emulator
// refuses another size as the images API does, and takes a listed one.
TEST(DirectEmulator, RefusesASizeTheModelDoesNotList) {
  config::set_model_catalogue(std::make_shared<const host::ModelCatalogue>(
      host::ModelCatalogue::from_json(json::parse(R"({"models": [
        {"name": "gpt-image-house", "service": "images", "sizes": ["1024x1024", "1536x1024"]}]})"))));
  const struct Restore {
    ~Restore() { config::set_model_catalogue(nullptr); }
  } restore;
  const std::string key = make_canary_key();
  const auto emulator = direct_emulator(key);
  host::CurlHttpClient http;
  for (const auto& [size, status] : {std::pair{"1824x1024", 400}, std::pair{"1536x1024", 200}}) {
    host::PostRequest request;
    request.headers = {{"Authorization", "Bearer " + key}, {"Content-Type", "application/json"}};
    request.body = host::JsonBody::of(
        json{{"model", "gpt-image-house"}, {"prompt", "a"}, {"size", size}, {"n", 1}}.dump());
    const host::HttpResponse response =
        http.post(emulator->base_url() + "/v1/images/generations", request);
    EXPECT_EQ(response.status_code, status) << size;
    if (status == 200) continue;
    EXPECT_EQ(response.json()["error"],
              json({{"message",
                     "Invalid size '1824x1024'. Supported sizes are '1024x1024', '1536x1024'."},
                    {"type", "invalid_request_error"},
                    {"param", "size"},
                    {"code", "invalid_value"}}));
  }
}

// The default model was retired by the public endpoint: a default call reaches it under the
// replacement's name, and its report says so.
TEST(DirectEmulator, TakesTheDefaultCallUnderTheRetiredModelsReplacement) {
  const std::string key = make_canary_key();
  const auto emulator = direct_emulator(key);
  image::tavelin::TavelinaOptions options;
  options.dialect = Dialect::kDirect;
  const image::tavelin::TavelinaClient client(emulator->base_url(), key, options);
  host::CallReport report;
  host::CallOptions call;
  call.report = &report;
  const auto result =
      client.start("a lake", image::tavelin::kDefaultAspectRatio, image::tavelin::kDefaultImageSize,
                   {}, image::tavelin::kDefaultModel, call);
  EXPECT_TRUE(result.ok()) << result.msg().value_or("");
  EXPECT_EQ(report.model_sent, "gemini-3-pro-image");
  EXPECT_EQ(report.model_version, "gemini-3-pro-image");
  EXPECT_EQ(report.model_note,
            "gemini-3-pro-image-preview was retired on 2026-06-25; sent as gemini-3-pro-image");
}

TEST(CliDialect, AutoIsDirectOnlyForThePublicAddresses) {
  const struct {
    const char* requested;
    const char* service;
    const char* base_url;
    Dialect expected;
  } cases[] = {
      {"auto", "gemini", "https://generativelanguage.googleapis.com", Dialect::kDirect},
      {"auto", "gemini", "https://generativelanguage.googleapis.com/", Dialect::kDirect},
      {"auto", "images", "https://api.openai.com", Dialect::kDirect},
      {"auto", "images", "https://generativelanguage.googleapis.com", Dialect::kGateway},
      {"auto", "gemini", "http://127.0.0.1:8080", Dialect::kGateway},
      {"direct", "gemini", "http://127.0.0.1:8080", Dialect::kDirect},
      {"gateway", "images", "https://api.openai.com", Dialect::kGateway},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cli::resolve_dialect(c.requested, *host::parse_service(c.service), c.base_url),
              c.expected)
        << c.requested << " " << c.service << " " << c.base_url;
  }
}

TEST(CliDialect, DirectFlagPassesWhereAutoIsRefused) {
  const std::string key = make_canary_key();
  const auto emulator_ptr = direct_emulator(key);
  emulator::Emulator& emulator = *emulator_ptr;
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-dialect-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const char* service : {"gemini", "images"}) {
    const std::vector<std::string> base = {
        ZANTREL_CLI_PATH,          service,     "--prompt", "a lake", "--base-url",
        emulator.base_url(),       "--api-key", key,        "--json", "--out",
        (dir / "out.png").string()};
    const auto refused = run_process(base);  // auto: gateway for this address
    EXPECT_EQ(refused.status, 1) << service << refused.err;
    EXPECT_EQ(json::parse(refused.out)["dialect"], "gateway");
    std::vector<std::string> direct = base;
    direct.insert(direct.end(), {"--dialect", "direct"});
    const auto passed = run_process(direct);
    EXPECT_EQ(passed.status, 0) << service << passed.out << passed.err;
    const json report = json::parse(passed.out);
    EXPECT_EQ(report["dialect"], "direct");
    EXPECT_EQ(report["ok"], true);
    for (const auto* run : {&refused, &passed}) {
      EXPECT_FALSE(leaks(run->out, key));
      EXPECT_FALSE(leaks(run->err, key));
    }
  }
  EXPECT_EQ(leaking_files(dir, key), std::vector<std::string>{});
  std::filesystem::remove_all(dir);
}

// The service's own parameters from the command line reach the public endpoint's form; one that
// can't be used is a usage error, one the model does not take a refused call.
TEST(CliDialect, GeminiParametersReachTheDirectEndpoint) {
  const std::string key = make_canary_key();
  const auto emulator = direct_emulator(key);
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-parameters-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::vector<std::string> base = {
      ZANTREL_CLI_PATH, "gemini", "--prompt",  "a fox",  "--base-url", emulator->base_url(),
      "--api-key",      key,      "--dialect", "direct", "--out",      (dir / "fox.png").string()};
  const struct {
    std::vector<std::string> flags;
    int status;
    const char* said;  // in the output or the error text
  } runs[] = {
      {{"--model", "gemini-3.1-flash-image", "--seed", "7", "--temperature", "0.4",
        "--thinking-level", "high", "--safety", "HARM_CATEGORY_HARASSMENT=BLOCK_ONLY_HIGH",
        "--text", "--extra", R"({"labels":{"team":"art"}})"},
       0,
       "text: Here is your picture."},
      {{"--thinking-level", "high"},
       1,
       "thinking_level is not taken by gemini-3-pro-image; it takes seed, temperature, "
       "safety_settings, response_modalities"},
      {{"--safety", "nope"}, 2, "--safety takes CATEGORY=THRESHOLD, not nope"},
      {{"--extra", "[1]"}, 2, "--extra takes a JSON object"},
  };
  for (const auto& run : runs) {
    std::vector<std::string> argv = base;
    argv.insert(argv.end(), run.flags.begin(), run.flags.end());
    const auto done = run_process(argv);
    EXPECT_EQ(done.status, run.status) << run.said << done.out << done.err;
    EXPECT_NE((done.out + done.err).find(run.said), std::string::npos) << done.out << done.err;
    EXPECT_FALSE(leaks(done.out, key));
    EXPECT_FALSE(leaks(done.err, key));
  }
  EXPECT_EQ(leaking_files(dir, key), std::vector<std::string>{});
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
