// Streamed calls of both clients against the emulator's stream scenarios, blocking and not: one
// result as the same answer unstreamed gives, the previews in order on the thread that drives the
// exchange, the phases in order, and the report's stream facts.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/canary.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel {
namespace {

using host::ErrorCode;
using image::corvane::CorvaneClient;
using image::corvane::ImageRequest;
using image::tavelin::GenerationRequest;
using image::tavelin::TavelinaClient;

enum class Service { kGemini, kImages };

// What the observer saw, from whichever thread told it.
struct Seen {
  std::mutex mutex;
  std::vector<std::string> previews;
  std::vector<host::ProgressPhase> phases;
  std::vector<std::thread::id> threads;
  bool every_preview_whole = true;
};

struct Outcome {
  host::ServiceResult result = host::ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  host::CallReport report;
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::vector<nlohmann::ordered_json> records;
};

class StreamedCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = test_support::make_canary_key();
    emulator::EmulatorOptions options;
    options.api_key = key_;
    options.dialect = emulator::AcceptedDialect::kDirect;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }

  // One call in `scenario`, streamed or not, blocking or not.
  Outcome call(Service service, const std::string& scenario, bool stream, bool blocking) {
    emulator_->set_scenario(*emulator::Scenario::parse(scenario));
    Outcome out;
    auto logger = std::make_shared<testkit::CapturingLogger>();
    host::CallOptions options;
    options.report = &out.report;
    options.stream = stream;
    // A read time-out the stall outlasts, longer than the emulator takes to draw its pictures on a
    // loaded machine; a large picture takes it a while more.
    const bool stall = scenario.starts_with("stream-stall");
    options.timeout = host::Timeout{std::chrono::milliseconds(5000),
                                    std::chrono::milliseconds(stall ? 2500 : 60000)};
    options.on_progress = [seen = out.seen](const host::ProgressEvent& event) {
      std::lock_guard lock(seen->mutex);
      seen->threads.push_back(std::this_thread::get_id());
      seen->phases.push_back(event.phase);
      if (event.preview != nullptr) {
        seen->previews.push_back(host::describe(*event.preview));
        if (event.preview->mime_type != "image/png" || event.preview->bytes.size() < 8) {
          seen->every_preview_whole = false;
        }
      }
    };
    if (service == Service::kImages) {
      image::corvane::CorvaneOptions client_options;
      client_options.dialect = host::Dialect::kDirect;
      client_options.logger = logger;
      const CorvaneClient client(emulator_->base_url(), key_, client_options);
      ImageRequest request{.prompt = "a fox at dawn", .aspect_ratio = "1:1"};
      if (stream) request.partial_images = 2;
      out.result =
          blocking ? client.start(request, options) : client.start_async(request, options).get();
    } else {
      image::tavelin::TavelinaOptions client_options;
      client_options.dialect = host::Dialect::kDirect;
      client_options.logger = logger;
      const TavelinaClient client(emulator_->base_url(), key_, client_options);
      const GenerationRequest request{.prompt = "a fox at dawn", .aspect_ratio = "1:1"};
      out.result =
          blocking ? client.start(request, options) : client.start_async(request, options).get();
    }
    out.records = logger->records();
    return out;
  }

  std::string key_;
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(StreamedCalls, EndInTheResultOfTheSameAnswerWithThePreviewsOnTheWay) {
  const std::vector<std::string> partials = {"partial 1 of 2", "partial 2 of 2"};
  const std::vector<std::string> thoughts = {"thought image 1", "thought image 2"};
  const struct {
    Service service;
    const char* scenario;
    // The scenario of the same answer unstreamed, for a call that ends well.
    const char* unstreamed;
    std::optional<ErrorCode> code;  // none: success
    const char* message;
    std::vector<std::string> previews;
  } cases[] = {
      {Service::kImages, "normal", "normal", std::nullopt, "", partials},
      {Service::kImages, "stream-final-first", "normal", std::nullopt, "", partials},
      {Service::kImages, "stream-final-only", "normal", std::nullopt, "", {}},
      {Service::kImages, "large:30", nullptr, std::nullopt, "", partials},
      {Service::kImages, "stream-cut", nullptr, ErrorCode::SERVICE_BUSY, "", partials},
      {Service::kImages,
       "stream-error",
       nullptr,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "The server had an error processing your request.",
       {"partial 1 of 2"}},
      {Service::kImages,
       "stream-stall:6000",
       nullptr,
       ErrorCode::SERVICE_TIMEOUT,
       "",
       {"partial 1 of 2"}},
      {Service::kGemini, "stream-thoughts:2", "normal", std::nullopt, "", thoughts},
      {Service::kGemini, "normal", "normal", std::nullopt, "", {}},
      {Service::kGemini, "stream-final-first", "normal", std::nullopt, "", {}},
      {Service::kGemini, "large:30", nullptr, std::nullopt, "", {}},
      {Service::kGemini, "stream-cut", nullptr, ErrorCode::SERVICE_BUSY, "", {}},
      {Service::kGemini,
       "stream-error",
       nullptr,
       ErrorCode::IMAGE_GENERATE_FAIL,
       "An internal error has occurred. Please retry or report in "
       "https://developers.generativeai.google/guide/troubleshooting",
       {}},
      {Service::kGemini, "stream-stall:6000", nullptr, ErrorCode::SERVICE_TIMEOUT, "", {}},
  };
  for (const auto& c : cases) {
    const bool large = std::string_view(c.scenario).starts_with("large");
    for (const bool blocking : {true, false}) {
      // One large event is enough: the engine reads it as the calling thread does.
      if (large && !blocking) continue;
      const std::string where = std::string(c.service == Service::kImages ? "images " : "gemini ") +
                                c.scenario + (blocking ? ", blocking" : ", non-blocking");
      Outcome streamed = call(c.service, c.scenario, true, blocking);
      EXPECT_EQ(streamed.result.code(), c.code)
          << where << ": " << streamed.result.msg().value_or("");
      if (*c.message != '\0') {
        EXPECT_EQ(streamed.result.msg().value_or(""), c.message) << where;
      }
      {
        std::lock_guard lock(streamed.seen->mutex);
        EXPECT_EQ(streamed.seen->previews, c.previews) << where;
        EXPECT_TRUE(streamed.seen->every_preview_whole) << where;
        EXPECT_TRUE(std::is_sorted(streamed.seen->phases.begin(), streamed.seen->phases.end()))
            << where << ": phases in order";
        ASSERT_FALSE(streamed.seen->phases.empty()) << where;
        EXPECT_EQ(streamed.seen->phases.back(), host::ProgressPhase::kReceiving) << where;
        for (const std::thread::id thread : streamed.seen->threads) {
          EXPECT_EQ(thread == std::this_thread::get_id(), blocking)
              << where << ": told on the thread that drives the exchange";
        }
      }
      const host::CallReport& report = streamed.report;
      EXPECT_EQ(report.previews, static_cast<int>(c.previews.size())) << where;
      EXPECT_EQ(report.first_preview_s.has_value(), !c.previews.empty()) << where;
      EXPECT_GE(report.stream_events, static_cast<int>(c.previews.size()) + (c.code ? 0 : 1))
          << where;
      EXPECT_EQ(report.attempts, 1) << where;
      if (c.code == ErrorCode::SERVICE_BUSY) {
        EXPECT_EQ(report.delivery, host::Delivery::kNoAnswer) << where;
      }
      if (c.service == Service::kImages && !c.code) {
        // The completed event is numbered after the previews, the first event being 0.
        EXPECT_EQ(report.answer.sequence_number, static_cast<std::int64_t>(c.previews.size()))
            << where;
      }
      if (large) {
        // An event of 40 MiB: the image whole.
        ASSERT_TRUE(streamed.result.bytes()) << where;
        EXPECT_EQ(streamed.result.bytes()->size(), std::size_t{30} << 20) << where;
      }
      if (c.unstreamed == nullptr) continue;

      const Outcome whole = call(c.service, c.unstreamed, false, blocking);
      ASSERT_TRUE(whole.result.ok()) << where;
      EXPECT_TRUE(streamed.result.data() == whole.result.data()) << where << ": the same image";
      EXPECT_EQ(host::to_json(report)["usage"], host::to_json(whole.report)["usage"]) << where;
      EXPECT_EQ(report.text, whole.report.text) << where;
      EXPECT_EQ(report.finish_reason, whole.report.finish_reason) << where;
      EXPECT_EQ(report.answer.size, whole.report.answer.size) << where;
      EXPECT_EQ(streamed.records.size(), whole.records.size()) << where << ": the same records";
    }
  }
}

// The limits of a call hold for a stream as a whole: the response cap, a stop request (here from
// the observer as the answer begins) and the deadline.
TEST_F(StreamedCalls, AreBoundByTheCapTheStopAndTheDeadline) {
  const struct {
    const char* name;
    const char* scenario;
    std::size_t cap;  // 0: the default
    bool stop_when_receiving;
    int deadline_ms;  // 0: none
    ErrorCode code;
    const char* failure_kind;
  } cases[] = {
      {"cap", "large:8", std::size_t{4} << 20, false, 0, ErrorCode::SERVICE_BUSY,
       "ResponseTooLarge"},
      {"stop", "stream-stall:5000", 0, true, 0, ErrorCode::SERVICE_BUSY, "Cancelled"},
      {"deadline", "stream-stall:5000", 0, false, 800, ErrorCode::SERVICE_TIMEOUT,
       "DeadlineExceeded"},
  };
  for (const auto& c : cases) {
    for (const Service service : {Service::kImages, Service::kGemini}) {
      const std::string where =
          std::string(c.name) + (service == Service::kImages ? ", images" : ", gemini");
      emulator_->set_scenario(*emulator::Scenario::parse(c.scenario));
      host::CurlHttpClientOptions http_options;
      if (c.cap > 0) http_options.max_response_bytes = c.cap;
      const auto http = std::make_shared<host::CurlHttpClient>(http_options);
      std::stop_source stop;
      host::CallReport report;
      host::CallOptions options;
      options.stream = true;
      options.report = &report;
      options.stop = stop.get_token();
      if (c.deadline_ms > 0) {
        options.deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(c.deadline_ms);
      }
      options.on_progress = [&](const host::ProgressEvent& event) {
        if (c.stop_when_receiving && event.phase == host::ProgressPhase::kReceiving) {
          stop.request_stop();
        }
      };
      const auto started = std::chrono::steady_clock::now();
      host::ServiceResult result = host::ServiceResult::fail(ErrorCode::INVALID_PARAMS);
      if (service == Service::kImages) {
        image::corvane::CorvaneOptions client_options;
        client_options.dialect = host::Dialect::kDirect;
        client_options.http_client = http;
        result = CorvaneClient(emulator_->base_url(), key_, client_options)
                     .start({.prompt = "a fox", .partial_images = 1}, options);
      } else {
        image::tavelin::TavelinaOptions client_options;
        client_options.dialect = host::Dialect::kDirect;
        client_options.http_client = http;
        result = TavelinaClient(emulator_->base_url(), key_, client_options)
                     .start(GenerationRequest{.prompt = "a fox"}, options);
      }
      EXPECT_EQ(result.code(), c.code) << where << ": " << result.msg().value_or("");
      EXPECT_EQ(report.failure_kind.value_or(""), c.failure_kind) << where;
      // Well before the stall would have ended.
      EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4)) << where;
    }
  }
}

}  // namespace
}  // namespace zantrel
