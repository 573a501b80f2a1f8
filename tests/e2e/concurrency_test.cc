// Many threads, one shared HTTP client, both services and a mix of answers: every call ends with
// its own documented result. Run under the thread sanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/emulator/emulator.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

// Passes every request on to the shared libcurl client, naming the emulator scenario that the
// calling thread has chosen for its current call.
class ScenarioPerCall final : public host::HttpClient {
 public:
  static thread_local std::string scenario;

  host::HttpResponse post(const std::string& url, const host::PostRequest& request) override {
    host::PostRequest tagged = request;
    tagged.headers.emplace_back("X-Zantrel-Scenario", scenario);
    return inner_.post(url, tagged);
  }
  host::HttpResponse get(const std::string& url, const host::GetRequest& request) override {
    return inner_.get(url, request);
  }
  host::Timeout base_timeout() const override { return inner_.base_timeout(); }

 private:
  host::CurlHttpClient inner_;
};
thread_local std::string ScenarioPerCall::scenario;

struct Expected {
  const char* code;  // nullptr: image bytes
  const char* msg;
};

struct Mix {
  const char* scenario;
  Expected gemini;
  Expected images;
};

// One entry per call slot, twenty slots: mostly quick successes; one slot each for the faults,
// the picture drawn for a link or a reset body (costly under sanitizers), and a time-out.
const Mix kSuccess = {"small-delay:0", {nullptr, nullptr}, {nullptr, nullptr}};
const Mix kTimedOut = {"delay:1500", {"SERVICE_TIMEOUT", nullptr}, {"SERVICE_TIMEOUT", nullptr}};
const Mix kFaults[] = {
    {"busy",
     {"SERVICE_BUSY", "Resource has been exhausted (e.g. check quota)."},
     {"IMAGE_GENERATE_FAIL", "Resource has been exhausted (e.g. check quota)."}},
    {"status:503",
     {"IMAGE_GENERATE_FAIL", "emulated status 503"},
     {"IMAGE_GENERATE_FAIL", "emulated status 503"}},
    {"not-json", {"SERVICE_BUSY", "JSONDecodeError error"}, {"SERVICE_BUSY", nullptr}},
    {"no-image", {"NO_IMAGE_RESULT", nullptr}, {"NO_IMAGE_RESULT", nullptr}},
    {"bad-base64", {"SERVICE_BUSY", "Base64Error error"}, {"SERVICE_BUSY", nullptr}},
    {"reset", {"SERVICE_BUSY", "ConnectionError error"}, {"SERVICE_BUSY", nullptr}},
    {"file-link", {nullptr, nullptr}, {nullptr, nullptr}},
};

const Mix& mix_for(int slot) {
  constexpr int kFaultCount = static_cast<int>(std::size(kFaults));
  if (slot < kFaultCount) return kFaults[slot];
  if (slot == kFaultCount) return kTimedOut;
  return kSuccess;
}

bool matches(const host::ServiceResult& result, const Expected& expected) {
  if (expected.code == nullptr) return result.ok() && !result.bytes()->empty();
  if (result.ok() || host::to_string(*result.code()) != expected.code) return false;
  return expected.msg == nullptr || result.msg() == std::string(expected.msg);
}

TEST(Concurrency, SixteenThreadsTimesAHundredCallsOnOneSharedClient) {
  constexpr int kThreads = 16;
  constexpr int kCalls = 100;
  emulator::Emulator emulator;
  emulator.start();
  testkit::ScopedHttpClient installed(std::make_shared<ScenarioPerCall>());
  auto log = std::make_shared<testkit::CapturingLogger>();
  const image::tavelin::TavelinaClient gemini(emulator.base_url(), "key", {.logger = log});
  const image::corvane::CorvaneClient images(emulator.base_url(), "key", {.logger = log});

  std::atomic<int> finished{0};
  std::vector<std::string> wrong(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kCalls; ++i) {
          const Mix& mix = mix_for((t * 7 + i) % 20);
          ScenarioPerCall::scenario = mix.scenario;
          const bool use_gemini = (t + i) % 2 == 0;
          host::CallOptions options;
          // Generous, so that a busy machine never turns a slow answer into a time-out; the
          // time-out slot waits for an answer that comes after 1.5 s.
          options.timeout = host::Timeout{10s, &mix == &kTimedOut ? 500ms : 20s};
          image::corvane::ImageCallOptions image_options;
          image_options.timeout = options.timeout;
          const auto result = use_gemini ? gemini.start("a lake", "16:9", "1K", {},
                                                        "gemini-3-pro-image-preview", options)
                                         : images.start("a lake", "", "", "", {}, image_options);
          if (!matches(result, use_gemini ? mix.gemini : mix.images)) {
            wrong[t] += std::string(use_gemini ? "gemini " : "images ") + mix.scenario + ": " +
                        (result.ok() ? "image"
                                     : std::string(host::to_string(*result.code())) + " " +
                                           result.msg().value_or("")) +
                        "\n";
          }
          ++finished;
        }
      });
    }
  }
  EXPECT_EQ(finished.load(), kThreads * kCalls);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], "") << "thread " << t;
  // One connection per thread in use, reused across its calls (resets cost new ones).
  EXPECT_LE(emulator.connections(), static_cast<std::size_t>(kThreads * kCalls / 5));
}

}  // namespace
}  // namespace zantrel::test_support
