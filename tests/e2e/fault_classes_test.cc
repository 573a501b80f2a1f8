// Hostile services, one fault class per row, through the real libcurl stack against the
// emulator: each client must end with its documented result, never a crash or a hang.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/canary.h"
#include "tests/support/endless_headers_server.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/config.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

struct Outcome {
  const char* code;  // nullptr: success with image bytes
  const char* msg;   // nullptr: no message
};

struct FaultRow {
  const char* fault;
  const char* scenario;
  Outcome gemini;
  Outcome images;
};

constexpr Outcome kImage{nullptr, nullptr};
constexpr Outcome kBusy{"SERVICE_BUSY", nullptr};
constexpr Outcome kTimeout{"SERVICE_TIMEOUT", nullptr};
// The Gemini client names the failure's kind in its text.
constexpr Outcome kConnectionError{"SERVICE_BUSY", "ConnectionError error"};
constexpr Outcome kNotJson{"SERVICE_BUSY", "JSONDecodeError error"};
constexpr Outcome kTooLarge{"SERVICE_BUSY", "ResponseTooLarge error"};

const FaultRow kRows[] = {
    {"delay before headers beyond the read time-out", "delay:4000", kTimeout, kTimeout},
    {"slow trickle within the read time-out", "trickle:150", kImage, kImage},
    {"reset mid-body", "reset", kConnectionError, kBusy},
    {"body shorter than its Content-Length", "truncated", kConnectionError, kBusy},
    {"chunked body cut before its end", "chunked-cut", kConnectionError, kBusy},
    {"200 body that is HTML", "not-json", kNotJson, kBusy},
    {"200 body that is empty", "empty-body", kNotJson, kBusy},
    {"200 body of truncated JSON", "truncated-json", kNotJson, kBusy},
    {"200 body nested 100,000 deep", "deep-json", kNotJson, kBusy},
    {"body above the size cap", "oversized:40", kTooLarge, kBusy},
    {"body above the size cap, no length announced", "oversized-chunked:40", kTooLarge, kBusy},
    {"3xx on a post",
     "redirect",
     {"IMAGE_GENERATE_FAIL", "service status_code: 302"},
     {"IMAGE_GENERATE_FAIL", nullptr}},
    {"returned link redirecting to another scheme",
     "link-redirect-scheme",
     {"SERVICE_BUSY", "UnsupportedScheme error"},
     kBusy},
    {"returned link failing halfway", "link-halfway", kConnectionError, kBusy},
};

std::string describe(const host::ServiceResult& result) {
  if (result.ok()) return "image of " + std::to_string(result.bytes()->size()) + " bytes";
  return std::string(host::to_string(*result.code())) + " / " + result.msg().value_or("(none)");
}

void expect_outcome(const host::ServiceResult& result, const Outcome& expected,
                    const std::string& context) {
  if (expected.code == nullptr) {
    ASSERT_TRUE(result.ok()) << context << ": " << describe(result);
    EXPECT_FALSE(result.bytes()->empty()) << context;
    return;
  }
  ASSERT_FALSE(result.ok()) << context << ": " << describe(result);
  EXPECT_EQ(host::to_string(*result.code()), expected.code) << context << ": " << describe(result);
  if (expected.msg != nullptr) {
    EXPECT_EQ(result.msg().value_or(""), expected.msg) << context;
  }
}

// The size cap of the shared client in these tests: smaller than the 256 MiB default so that
// debug and sanitizer builds stay quick; the code path is the same.
constexpr std::size_t kCapMiB = 32;

class FaultClasses : public ::testing::Test {
 protected:
  void SetUp() override {
    host::CurlHttpClientOptions options;
    options.max_response_bytes = kCapMiB << 20;
    config::set_http_client(std::make_shared<host::CurlHttpClient>(options));
    emulator_.start();
  }

  // The key and everything the clients log: no record and no result text may hold the key.
  void TearDown() override {
    config::set_http_client(nullptr);
    for (const auto& record : log_->records()) EXPECT_FALSE(leaks(record.dump(), key_)) << record;
  }

  host::ServiceResult checked(host::ServiceResult result) const {
    EXPECT_FALSE(leaks(result.msg().value_or(""), key_));
    return result;
  }

  // Read time-out of the calls: one second where a silence is the point, else long enough for
  // the emulator to draw a picture on a loaded machine under a sanitizer.
  static std::chrono::milliseconds read_timeout_for(const std::string& scenario) {
    return scenario.starts_with("delay:") ? 1000ms : 8000ms;
  }

  host::ServiceResult gemini(const std::string& base_url) const {
    const image::tavelin::TavelinaClient client(base_url, key_, {.logger = log_});
    host::CallOptions options;
    options.timeout = host::Timeout{5s, read_timeout_};
    return checked(client.start("a lake", "16:9", "1K", {}, "gemini-3-pro-image-preview", options));
  }

  host::ServiceResult images(const std::string& base_url) const {
    const image::corvane::CorvaneClient client(base_url, key_, {.logger = log_});
    image::corvane::ImageCallOptions options;
    options.timeout = host::Timeout{5s, read_timeout_};
    return checked(client.start("a lake", "", "", "", {}, options));
  }

  std::chrono::milliseconds read_timeout_ = 8000ms;
  std::string key_ = make_canary_key();
  std::shared_ptr<testkit::CapturingLogger> log_ = std::make_shared<testkit::CapturingLogger>();
  emulator::Emulator emulator_;
};

TEST_F(FaultClasses, EachEndsWithTheDocumentedResultOfBothClients) {
  for (const FaultRow& row : kRows) {
    emulator_.set_scenario(*emulator::Scenario::parse(row.scenario));
    read_timeout_ = read_timeout_for(row.scenario);
    const auto started = std::chrono::steady_clock::now();
    expect_outcome(gemini(emulator_.base_url()), row.gemini, std::string("gemini: ") + row.fault);
    expect_outcome(images(emulator_.base_url()), row.images, std::string("images: ") + row.fault);
    // No fault may hang a call: the bound leaves room for a loaded sanitizer run moving the
    // over-cap bodies, and is far below the 600 s a hang would take.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s) << row.fault;
  }
}

TEST_F(FaultClasses, ConnectionRefused) {
  const std::string closed = "http://127.0.0.1:1";
  expect_outcome(gemini(closed), kConnectionError, "gemini");
  expect_outcome(images(closed), kBusy, "images");
}

TEST_F(FaultClasses, EndlessResponseHeaders) {
  EndlessHeadersServer server;
  expect_outcome(gemini(server.base_url()), kTooLarge, "gemini");
  expect_outcome(images(server.base_url()), kBusy, "images");
}

// Peak resident memory (kB) since the last reset, and a reset.
long peak_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Sanitizers keep freed blocks in quarantine and map shadow memory, so resident size says
// nothing about the library under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeIsMeaningful = false;
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif

TEST_F(FaultClasses, AnOversizedBodyCostsLessThanTheCapPlus64MiB) {
  if (!kResidentSizeIsMeaningful) GTEST_SKIP() << "resident size is not measurable here";
  emulator_.set_scenario(*emulator::Scenario::parse("oversized-chunked:300"));
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = peak_kib();
  expect_outcome(gemini(emulator_.base_url()), kTooLarge, "gemini");
  const long growth_mib = (peak_kib() - before) / 1024;
  EXPECT_LT(growth_mib, static_cast<long>(kCapMiB) + 64);
}

}  // namespace
}  // namespace zantrel::test_support
