// The call report end to end: for both clients over real HTTP against the emulator, how far
// each fault lets a request get, and what a success and a refusal report; then the CLI's keys.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tests/support/run_process.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using host::CallReport;
using host::Delivery;
using json = nlohmann::ordered_json;

struct DeliveryRow {
  const char* scenario;  // emulator scenario; "refused" = a port where nothing listens
  Delivery delivery;
  const char* failure_kind;  // nullptr: none
  int http_status;           // 0: none
};

const DeliveryRow kRows[] = {
    {"normal", Delivery::kAnswered, nullptr, 200},
    {"refused", Delivery::kNotSent, "ConnectionError", 0},
    {"delay:4000", Delivery::kNoAnswer, "ReadTimeout", 0},
    {"reset", Delivery::kNoAnswer, "ConnectionError", 0},
    {"truncated", Delivery::kNoAnswer, "ConnectionError", 0},
    {"oversized:40", Delivery::kNoAnswer, "ResponseTooLarge", 0},
    {"busy", Delivery::kAnswered, nullptr, 429},
    {"status:503", Delivery::kAnswered, nullptr, 503},
    {"not-json", Delivery::kAnswered, "JSONDecodeError", 200},
    {"link-halfway", Delivery::kAnswered, "ConnectionError", 200},
};

class CallReports : public ::testing::Test {
 protected:
  void SetUp() override {
    host::CurlHttpClientOptions options;
    options.max_response_bytes = std::size_t{32} << 20;
    http_ = std::make_shared<host::CurlHttpClient>(options);
    emulator::EmulatorOptions emulator_options;
    emulator_options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(emulator_options);
    emulator_->start();
  }

  // One call of `service` with a report; the read time-out is short only where silence is
  // the point.
  std::pair<host::ServiceResult, CallReport> call(const std::string& service,
                                                  const std::string& base_url,
                                                  const std::string& scenario) {
    CallReport report;
    const host::Timeout timeout{5s, scenario.starts_with("delay:") ? 1000ms : 8000ms};
    if (service == "gemini") {
      image::tavelin::TavelinaOptions options{"TAVELIN", log_};
      options.http_client = http_;
      host::CallOptions call_options;
      call_options.timeout = timeout;
      call_options.report = &report;
      auto result =
          image::tavelin::TavelinaClient(base_url, key_, options)
              .start("a lake", "16:9", "1K", {}, "gemini-3-pro-image-preview", call_options);
      return {std::move(result), report};
    }
    image::corvane::CorvaneOptions options{"GPT-IMAGE-2", log_};
    options.http_client = http_;
    image::corvane::ImageCallOptions call_options;
    call_options.timeout = timeout;
    call_options.report = &report;
    auto result = image::corvane::CorvaneClient(base_url, key_, options)
                      .start("a lake", "3:2", "high", "", {}, call_options);
    return {std::move(result), report};
  }

  std::string key_ = make_canary_key();
  std::shared_ptr<testkit::CapturingLogger> log_ = std::make_shared<testkit::CapturingLogger>();
  std::shared_ptr<host::HttpClient> http_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(CallReports, DeliveryTellsHowFarEachFaultLetTheRequestGet) {
  for (const DeliveryRow& row : kRows) {
    const std::string scenario = row.scenario;
    const bool refused = scenario == "refused";
    if (!refused) emulator_->set_scenario(*emulator::Scenario::parse(scenario));
    for (const std::string service : {"gemini", "images"}) {
      const std::string where = service + " / " + scenario;
      const auto [result, report] =
          call(service, refused ? "http://127.0.0.1:1" : emulator_->base_url(), scenario);
      EXPECT_EQ(host::to_string(report.delivery), host::to_string(row.delivery)) << where;
      EXPECT_EQ(report.failure_kind.value_or("-"), row.failure_kind ? row.failure_kind : "-")
          << where;
      EXPECT_EQ(report.http_status.value_or(0), row.http_status) << where;
      EXPECT_EQ(report.attempts, 1) << where;
      ASSERT_TRUE(report.timings.total) << where;
      if (row.delivery != Delivery::kNotSent) {
        // Sent whole: the stack saw the connection and the request go out, in that order.
        ASSERT_TRUE(report.timings.connect && report.timings.sent) << where;
        EXPECT_LE(*report.timings.connect, *report.timings.sent) << where;
        EXPECT_LE(*report.timings.sent, *report.timings.total) << where;
        EXPECT_GT(report.bytes_sent.value_or(0), 0u) << where;
      }
      if (row.http_status != 0) {  // an answer began after the request was out
        ASSERT_TRUE(report.timings.first_byte) << where;
        EXPECT_LE(*report.timings.sent, *report.timings.first_byte) << where;
        EXPECT_LE(*report.timings.first_byte, *report.timings.total) << where;
      }
      EXPECT_FALSE(leaks(host::to_json(report).dump(), key_)) << where;
    }
  }
}

TEST_F(CallReports, ASuccessReportsUsageImageAndIds) {
  const auto [gemini_result, gemini] = call("gemini", emulator_->base_url(), "normal");
  ASSERT_TRUE(gemini_result.ok());
  EXPECT_EQ(gemini.usage.output_tokens, 1290);
  EXPECT_EQ(gemini.usage.total_tokens.value_or(0), gemini.usage.input_tokens.value_or(-1) + 1290);
  EXPECT_TRUE(gemini.usage.raw.contains("candidatesTokensDetails"));
  EXPECT_EQ(gemini.model_version, "gemini-3-pro-image-preview");
  EXPECT_EQ(gemini.finish_reason, "STOP");
  EXPECT_TRUE(gemini.request_id.value_or("").starts_with("emu-"));  // the responseId
  ASSERT_TRUE(gemini.image);
  EXPECT_EQ(gemini.image->mime, "image/png");
  EXPECT_EQ(gemini.image->width, 1024);
  EXPECT_EQ(gemini.image->height, 576);
  EXPECT_EQ(gemini.image->bytes, gemini_result.bytes()->size());
  EXPECT_EQ(gemini.image->matches_request, true);
  ASSERT_TRUE(gemini.timings.first_byte);
  EXPECT_LE(*gemini.timings.first_byte, *gemini.timings.total);
  EXPECT_GT(gemini.bytes_received.value_or(0), gemini_result.bytes()->size());

  const auto [images_result, images] = call("images", emulator_->base_url(), "normal");
  ASSERT_TRUE(images_result.ok());
  ASSERT_TRUE(images.image && images.image->width && images.image->height);
  // Quality high: 4160 tokens for 1024x1024, in proportion to the area.
  EXPECT_EQ(images.usage.output_tokens,
            std::lround(4160.0 * *images.image->width * *images.image->height / (1024.0 * 1024)));
  EXPECT_TRUE(images.usage.raw.contains("input_tokens_details"));
  EXPECT_TRUE(images.request_id.value_or("").starts_with("req_"));
  ASSERT_TRUE(images.image);
  EXPECT_EQ(images.image->matches_request, true);  // 1024x688 for 3:2, within 1%
}

TEST_F(CallReports, RefusalsCarryTheServicesDetailsAndRetryHints) {
  emulator_->set_scenario(*emulator::Scenario::parse("busy"));
  const auto [gemini_result, gemini] = call("gemini", emulator_->base_url(), "busy");
  EXPECT_EQ(gemini.service_error, (json{{"status", "RESOURCE_EXHAUSTED"}, {"code", 429}}));
  EXPECT_EQ(gemini.retry_after_s, 17.0);  // google.rpc.RetryInfo
  const auto [images_result, images] = call("images", emulator_->base_url(), "busy");
  EXPECT_EQ(images.service_error,
            (json{{"type", "requests"}, {"code", "rate_limit_exceeded"}, {"param", nullptr}}));
  EXPECT_EQ(images.retry_after_s, 20.0);  // Retry-After
  EXPECT_TRUE(images.request_id.value_or("").starts_with("req_"));

  emulator_->set_scenario(*emulator::Scenario::parse("prompt-blocked"));
  const auto [blocked_result, blocked] = call("gemini", emulator_->base_url(), "prompt-blocked");
  EXPECT_EQ(blocked_result.code(), host::ErrorCode::NO_IMAGE_RESULT);
  EXPECT_EQ(blocked.block_reason, "PROHIBITED_CONTENT");
  EXPECT_FALSE(blocked.image);

  // Refused before anything was sent: nothing was attempted.
  CallReport refused;
  host::CallOptions options;
  options.report = &refused;
  const auto bad = image::tavelin::TavelinaClient(emulator_->base_url(), key_)
                       .start("a lake", "7:5", "1K", {}, "gemini-3-pro-image-preview", options);
  EXPECT_EQ(bad.code(), host::ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(refused.delivery, Delivery::kNotSent);
  EXPECT_EQ(refused.attempts, 0);
}

// A host's own HttpClient that tells nothing about its transfers: "not sent" is claimed only
// for failures that cannot happen after sending.
TEST(CallReportWithoutTransferFacts, OnlySureFailuresCountAsNotSent) {
  const struct {
    testkit::Reply reply;
    Delivery delivery;
  } cases[] = {
      {testkit::Reply::raise<host::ConnectTimeout>(), Delivery::kNotSent},
      {testkit::Reply::raise<host::TlsError>(), Delivery::kNotSent},
      {testkit::Reply::raise<host::ReadTimeout>(), Delivery::kNoAnswer},
      {testkit::Reply::raise<host::ConnectionError>(), Delivery::kNoAnswer},
      {testkit::Reply::json(500, "{}"), Delivery::kAnswered},
  };
  for (const auto& c : cases) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    http->queue_post(c.reply);
    image::corvane::CorvaneOptions options;
    options.http_client = http;
    CallReport report;
    image::corvane::ImageCallOptions call_options;
    call_options.report = &report;
    (void)image::corvane::CorvaneClient("http://h", "k", options)
        .generate_image("p", "", "", "", std::nullopt, call_options);
    EXPECT_EQ(report.delivery, c.delivery) << report.failure_kind.value_or("answered");
    EXPECT_FALSE(report.timings.connect);  // unknown, not invented
  }
}

TEST(CliReport, JsonCarriesEveryKeyOfTheReport) {
  const std::string key = make_canary_key();
  emulator::EmulatorOptions options;
  options.api_key = key;
  emulator::Emulator emulator(options);
  emulator.start();
  const auto dir =
      std::filesystem::temp_directory_path() / ("zantrel-report-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto run = run_process({ZANTREL_CLI_PATH, "gemini", "--prompt", "a lake", "--base-url",
                                emulator.base_url(), "--api-key", key, "--aspect-ratio", "16:9",
                                "--json", "--out", (dir / "out.png").string()});
  ASSERT_EQ(run.status, 0) << run.err;
  const json report = json::parse(run.out).at("report");
  std::vector<std::string> keys;
  for (const auto& member : report.items()) keys.push_back(member.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"delivery",       "failure_kind",
                                            "http_status",    "service_error",
                                            "retry_after_s",  "request_id",
                                            "usage",          "cost",
                                            "model_sent",     "model_note",
                                            "model_warning",  "model_version",
                                            "text",           "finish_reason",
                                            "block_reason",   "image",
                                            "images",         "answer",
                                            "timings_s",      "bytes_sent",
                                            "bytes_received", "attempts",
                                            "turn",           "files",
                                            "stream",         "job"}));
  EXPECT_EQ(report["delivery"], "answered");
  EXPECT_EQ(report["usage"]["output_tokens"], 1290);
  EXPECT_EQ(report["cost"]["tokens"]["output_image"], 1290);
  EXPECT_EQ(report["cost"]["tier"], "standard");
  EXPECT_EQ(report["image"]["width"], 1024);
  EXPECT_EQ(report["image"]["matches_request"], true);
  for (const char* timing : {"connect", "sent", "first_byte", "total"}) {
    EXPECT_TRUE(report["timings_s"][timing].is_number()) << timing;
  }
  // Without --json: one line with size, type, tokens and times.
  const auto line = run_process({ZANTREL_CLI_PATH, "gemini", "--prompt", "a lake", "--base-url",
                                 emulator.base_url(), "--api-key", key, "--aspect-ratio", "16:9",
                                 "--out", (dir / "two.png").string()});
  ASSERT_EQ(line.status, 0) << line.err;
  EXPECT_NE(line.out.find(": 1024x576 PNG, "), std::string::npos) << line.out;
  EXPECT_NE(line.out.find(" KB, 1,290 output tokens, about $0.1"), std::string::npos) << line.out;
  EXPECT_NE(line.out.find(" s (upload "), std::string::npos) << line.out;
  EXPECT_FALSE(leaks(run.out + run.err + line.out + line.err, key));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zantrel::test_support
