// The retry policy: which outcomes are sent again, how often, how long it waits, and that a
// request that went out whole is never repeated unless asked.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/test_data.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/host/result/transfer_facts.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using host::ErrorCode;
using json = nlohmann::ordered_json;

// A transport failure as the default stack raises it: with whether the request went out.
template <class Failure>
testkit::Reply failed(bool sent) {
  Failure failure("scripted");
  host::TransferFacts facts;
  facts.request_sent = sent;
  failure.set_transfer(facts);
  return {0, {}, std::make_exception_ptr(failure)};
}

testkit::Reply image() {
  return testkit::Reply::json(200,
                              R"({"candidates":[{"content":{"parts":[{"inlineData":{"mimeType":)"
                              R"("image/png","data":")" +
                                  b64(host::as_text(png_bytes())) + R"("}}]}}]})");
}

testkit::Reply busy(const char* retry_delay) {
  return testkit::Reply::json(
      429, std::string(R"({"error":{"code":429,"status":"RESOURCE_EXHAUSTED",)") +
               R"("details":[{"@type":"type.googleapis.com/google.rpc.RetryInfo",)" +
               R"("retryDelay":")" + retry_delay + R"("}]}})");
}

struct Row {
  const char* what;
  std::vector<testkit::Reply> replies;
  host::RetryPolicy policy;
  std::optional<ErrorCode> code;  // nothing: an image
  int attempts;
  std::vector<std::string> reasons;  // of the retry records, in order
  bool with_deadline = false;
};

const std::optional<ErrorCode> kOk;
const host::RetryPolicy kOff{};
const host::RetryPolicy kThree{3, 1ms, 5ms, false};
const host::RetryPolicy kThreeNoAnswer{3, 1ms, 5ms, true};

TEST(RetryPolicy, RetriesOnlyWhatCannotHaveRunTwice) {
  const Row rows[] = {
      {"off by default", {busy("0s")}, kOff, ErrorCode::SERVICE_BUSY, 1, {}},
      {"429 then an image", {busy("0s"), image()}, kThree, kOk, 2, {"HTTP 429"}},
      {"503 each time, up to the attempts",
       {testkit::Reply::json(503, "{}"), testkit::Reply::json(503, "{}"),
        testkit::Reply::json(503, "{}")},
       kThree,
       ErrorCode::IMAGE_GENERATE_FAIL,
       3,
       {"HTTP 503", "HTTP 503"}},
      {"500 is the service's verdict",
       {testkit::Reply::json(500, "{}")},
       kThree,
       ErrorCode::IMAGE_GENERATE_FAIL,
       1,
       {}},
      {"refused connection, not sent",
       {failed<host::ConnectionError>(false), image()},
       kThree,
       kOk,
       2,
       {"ConnectionError"}},
      {"connect time-out",
       {failed<host::ConnectTimeout>(false), image()},
       kThree,
       kOk,
       2,
       {"ConnectTimeout"}},
      {"read time-out after sending: never repeated",
       {failed<host::ReadTimeout>(true)},
       kThree,
       ErrorCode::SERVICE_TIMEOUT,
       1,
       {}},
      {"reset after sending: never repeated",
       {failed<host::ConnectionError>(true)},
       kThree,
       ErrorCode::SERVICE_BUSY,
       1,
       {}},
      {"read time-out repeated when asked",
       {failed<host::ReadTimeout>(true), image()},
       kThreeNoAnswer,
       kOk,
       2,
       {"ReadTimeout"}},
      {"TLS failure is not transient",
       {failed<host::TlsError>(false)},
       kThree,
       ErrorCode::SERVICE_BUSY,
       1,
       {}},
      {"a hint past the deadline: no retry",
       {busy("30s")},
       kThree,
       ErrorCode::SERVICE_BUSY,
       1,
       {},
       true},
  };
  for (const Row& row : rows) {
    auto http = std::make_shared<testkit::ScriptedHttpClient>();
    for (const testkit::Reply& reply : row.replies) http->queue_post(reply);
    auto logger = std::make_shared<testkit::CapturingLogger>();
    image::tavelin::TavelinaClient client("http://g", "key", {"TAVELIN", logger, http});
    host::CallReport report;
    host::CallOptions options;
    options.report = &report;
    options.retry = row.policy;
    if (row.with_deadline) options.deadline = std::chrono::steady_clock::now() + 2s;
    const auto result = client.start("p", "1:1", "1K", {}, "gemini-3-pro-image-preview", options);
    EXPECT_EQ(result.code(), row.code) << row.what;
    EXPECT_EQ(report.attempts, row.attempts) << row.what;
    EXPECT_EQ(http->requests().size(), static_cast<std::size_t>(row.attempts)) << row.what;
    std::vector<std::string> reasons;
    for (const json& record : logger->records()) {
      if (record["msg"] != "TAVELIN retry") continue;
      reasons.push_back(record["reason"]);
      EXPECT_EQ(record["attempt"], reasons.size() + 1) << row.what;
    }
    EXPECT_EQ(reasons, row.reasons) << row.what;
  }
}

TEST(RetryPolicy, WaitsAtLeastTheServicesHint) {
  auto http = std::make_shared<testkit::ScriptedHttpClient>();
  http->queue_post(busy("0.2s"));
  http->queue_post(image());
  auto logger = std::make_shared<testkit::CapturingLogger>();
  image::tavelin::TavelinaOptions options{"TAVELIN", logger, http};
  options.retry = kThree;  // the client's own policy
  image::tavelin::TavelinaClient client("http://g", "key", options);
  const auto started = std::chrono::steady_clock::now();
  const auto result = client.start("p", "1:1");
  EXPECT_TRUE(result.ok());
  EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);
  const json retry = logger->records().at(1);
  EXPECT_EQ(retry["msg"], "TAVELIN retry");
  EXPECT_EQ(retry["delay"], 0.2);
}

}  // namespace
}  // namespace zantrel::test_support
