// Non-blocking calls over real HTTP against the emulator: the same outcome as the blocking
// call, cancellation and deadlines on both paths, retries through the event engine.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/canary.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using host::CallReport;
using host::ErrorCode;
using host::ServiceResult;
using json = nlohmann::ordered_json;

// Records without the measured seconds, which differ from run to run.
std::vector<json> timeless(std::vector<json> records) {
  for (json& record : records) {
    record.erase("second");
    record.erase("total_second");
    // An answer recorded whole names the second it was made in (the images API's "created").
    if (record.contains("data") && record["data"].is_object()) record["data"].erase("created");
  }
  return records;
}

enum class Path { kBlocking, kFuture, kCallback };

class AsyncCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator::EmulatorOptions options;
    options.api_key = key_;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }

  // One `start` of `service` along `path`, with a report; `tune` sets the call's options.
  template <class Tune>
  std::pair<ServiceResult, CallReport> call(const std::string& service, Path path, Tune tune) {
    CallReport report;
    const auto run = [&](const auto& client, auto options, auto... args) {
      options.report = &report;
      options.timeout = host::Timeout{5s, 8s};
      tune(options);
      if (path == Path::kBlocking) return client.start(args..., options);
      if (path == Path::kFuture) return client.start_async(args..., options).get();
      std::promise<ServiceResult> done;
      client.start_async(args..., options,
                         [&done](ServiceResult result) { done.set_value(std::move(result)); });
      return done.get_future().get();
    };
    if (service == "gemini") {
      image::tavelin::TavelinaOptions options{"TAVELIN", log_, http_};
      image::tavelin::TavelinaClient client(emulator_->base_url(), key_, options);
      auto result =
          run(client, host::CallOptions{}, std::string("a lake"), std::string("16:9"),
              std::string("1K"), host::Files{}, std::string(image::tavelin::kDefaultModel));
      return {std::move(result), report};
    }
    image::corvane::CorvaneOptions options{"GPT-IMAGE-2", log_, http_};
    image::corvane::CorvaneClient client(emulator_->base_url(), key_, options);
    auto result = run(client, image::corvane::ImageCallOptions{}, std::string("a lake"),
                      std::string("3:2"), std::string("high"), std::string(""), host::Files{});
    return {std::move(result), report};
  }

  std::string key_ = make_canary_key();
  std::shared_ptr<testkit::CapturingLogger> log_ = std::make_shared<testkit::CapturingLogger>();
  std::unique_ptr<emulator::Emulator> emulator_;
  // Goes first, closing its connections, so that the emulator need not wait for them.
  std::shared_ptr<host::HttpClient> http_ = std::make_shared<host::CurlHttpClient>();
};

TEST_F(AsyncCalls, GiveTheBlockingCallsResultRecordsAndReport) {
  for (const char* scenario :
       {"normal", "busy", "status:503", "not-json", "file-link", "missing-link", "reset"}) {
    emulator_->set_scenario(*emulator::Scenario::parse(scenario));
    for (const std::string service : {"gemini", "images"}) {
      const auto none = [](auto&) {};
      log_->clear();
      const auto [blocking, blocking_report] = call(service, Path::kBlocking, none);
      const auto blocking_records = timeless(log_->records());
      for (Path path : {Path::kFuture, Path::kCallback}) {
        const std::string where = service + " / " + scenario;
        log_->clear();
        const auto [result, report] = call(service, path, none);
        EXPECT_EQ(result.code(), blocking.code()) << where;
        EXPECT_EQ(result.msg(), blocking.msg()) << where;
        EXPECT_EQ(result.bytes() != nullptr, blocking.bytes() != nullptr) << where;
        if (result.bytes() && blocking.bytes()) {
          EXPECT_EQ(*result.bytes(), *blocking.bytes()) << where;
        }
        EXPECT_EQ(timeless(log_->records()), blocking_records) << where;
        EXPECT_EQ(report.delivery, blocking_report.delivery) << where;
        EXPECT_EQ(report.failure_kind, blocking_report.failure_kind) << where;
        EXPECT_EQ(report.http_status, blocking_report.http_status) << where;
        EXPECT_EQ(report.attempts, blocking_report.attempts) << where;
        EXPECT_TRUE(report.timings.total) << where;
      }
    }
  }
}

TEST_F(AsyncCalls, StopAndDeadlineEndACallThatIsWaitingOnEitherPath) {
  emulator_->set_scenario(*emulator::Scenario::parse("delay:2500"));
  for (const std::string service : {"gemini", "images"}) {
    for (Path path : {Path::kBlocking, Path::kFuture}) {
      const std::string where = service + (path == Path::kBlocking ? " / blocking" : " / async");
      std::stop_source stop;
      std::jthread stopper([&stop] {
        std::this_thread::sleep_for(300ms);
        stop.request_stop();
      });
      log_->clear();
      const auto [cancelled, cancelled_report] =
          call(service, path, [&](auto& options) { options.stop = stop.get_token(); });
      EXPECT_EQ(cancelled.code(), ErrorCode::SERVICE_BUSY) << where;
      if (service == "gemini") {
        EXPECT_EQ(cancelled.msg(), "Cancelled error") << where;
      }
      EXPECT_EQ(cancelled_report.failure_kind, "Cancelled") << where;
      EXPECT_EQ(cancelled_report.delivery, host::Delivery::kNoAnswer) << where;
      EXPECT_LT(*cancelled_report.timings.total, 2.0) << where;  // far from the answer

      log_->clear();
      const auto [late, late_report] = call(service, path, [](auto& options) {
        options.deadline = std::chrono::steady_clock::now() + 300ms;
      });
      EXPECT_EQ(late.code(), ErrorCode::SERVICE_TIMEOUT) << where;
      EXPECT_EQ(late_report.failure_kind, "DeadlineExceeded") << where;
      EXPECT_EQ(log_->records().back()["msg"], "任务处理超时") << where;
      EXPECT_LT(*late_report.timings.total, 2.0) << where;

      // Stopped before it began: nothing is sent.
      std::stop_source early;
      early.request_stop();
      const auto [unsent, unsent_report] =
          call(service, path, [&](auto& options) { options.stop = early.get_token(); });
      EXPECT_EQ(unsent.code(), ErrorCode::SERVICE_BUSY) << where;
      EXPECT_EQ(unsent_report.delivery, host::Delivery::kNotSent) << where;
    }
  }
}

TEST_F(AsyncCalls, RetriesPauseOnTheEngineAndCountAttempts) {
  emulator_->set_scenario(*emulator::Scenario::parse("status:503"));
  for (const std::string service : {"gemini", "images"}) {
    log_->clear();
    const auto [result, report] = call(service, Path::kFuture, [](auto& options) {
      options.retry = host::RetryPolicy{3, 20ms, 100ms, false};
    });
    EXPECT_EQ(result.code(), ErrorCode::IMAGE_GENERATE_FAIL) << service;
    EXPECT_EQ(report.attempts, 3) << service;
    int retries = 0;
    for (const json& record : log_->records()) {
      if (record["msg"].get<std::string>().ends_with(" retry")) {
        ++retries;
        EXPECT_EQ(record["reason"], "HTTP 503");
        EXPECT_GE(record["delay"].get<double>(), 0.01);
      }
    }
    EXPECT_EQ(retries, 2) << service;
  }
}

}  // namespace
}  // namespace zantrel::test_support
