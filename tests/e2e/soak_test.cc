// Many non-blocking calls over a mix of the emulator's answers, with random stops and deadlines:
// each call ends exactly once with a result its circumstances allow, and what the calls held
// (descriptors, memory) is given back. ZANTREL_SOAK_CALLS sets the number of calls.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/core/child_process.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/log/logger.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using host::ErrorCode;

// Sanitizers keep freed memory in quarantine and use allocators of their own: resident size
// says nothing about what the calls gave back there (leaks are theirs to find).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif
#else
constexpr bool kResidentSizeMeaningful = true;
#endif

// Calls in flight at most: below the emulator's worker threads, which each keep-alive
// connection holds.
constexpr int kInFlight = 48;

int open_descriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

class NullLogger final : public host::Logger {
 public:
  void debug(const nlohmann::ordered_json&) override {}
};

// What one call was given, and what it came back with.
struct Call {
  bool gemini = true;
  std::optional<Clock::duration> stop_after;
  std::optional<Clock::duration> deadline;
  int max_attempts = 1;
  std::stop_source stop;
  host::CallReport report;
  std::atomic<int> endings{0};
  std::optional<host::ServiceResult> result;
};

// Runs `count` calls, at most kInFlight at once, and returns them ended.
std::vector<std::unique_ptr<Call>> run_calls(const std::string& base_url, int count,
                                             unsigned seed) {
  host::CurlHttpClientOptions http_options;
  http_options.max_response_bytes = std::size_t{4} << 20;  // "oversized:8" is too large
  auto http = std::make_shared<host::CurlHttpClient>(http_options);
  auto logger = std::make_shared<NullLogger>();
  const image::tavelin::TavelinaClient gemini(base_url, "soak-key", {"TAVELIN", logger, http});
  const image::corvane::CorvaneClient images(base_url, "soak-key", {"GPT-IMAGE-2", logger, http});

  std::mt19937 random(seed);
  std::vector<std::unique_ptr<Call>> calls;
  for (int i = 0; i < count; ++i) {
    auto call = std::make_unique<Call>();
    call->gemini = random() % 2 == 0;
    const unsigned roll = random() % 10;
    if (roll == 0) call->stop_after = std::chrono::milliseconds(random() % 300);
    if (roll == 1) call->deadline = std::chrono::milliseconds(50 + random() % 750);
    if (roll == 2 || roll == 3) {
      // Retries with a deadline, so that a long hint (busy) ends the retrying instead.
      call->max_attempts = 2;
      call->deadline = 2s;
    }
    calls.push_back(std::move(call));
  }

  std::mutex mutex;
  std::condition_variable changed;
  int in_flight = 0;
  // Stop requests fall due on a thread of their own.
  std::multimap<Clock::time_point, Call*> stops;
  bool launching = true;
  std::jthread stopper([&] {
    std::unique_lock lock(mutex);
    while (launching || !stops.empty()) {
      if (!stops.empty() && stops.begin()->first <= Clock::now()) {
        stops.begin()->second->stop.request_stop();
        stops.erase(stops.begin());
        continue;
      }
      changed.wait_for(lock, 5ms);
    }
  });
  for (auto& owned : calls) {
    Call& call = *owned;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return in_flight < kInFlight; });
      ++in_flight;
      if (call.stop_after) stops.emplace(Clock::now() + *call.stop_after, &call);
    }
    const auto done = [&, c = &call](host::ServiceResult result) {
      c->result.emplace(std::move(result));
      ++c->endings;
      std::lock_guard lock(mutex);
      --in_flight;
      changed.notify_all();
    };
    const auto set = [&](host::CallOptions& options) {
      options.timeout = host::Timeout{2s, 1s};
      options.report = &call.report;
      options.stop = call.stop.get_token();
      if (call.deadline) options.deadline = Clock::now() + *call.deadline;
      options.retry = host::RetryPolicy{call.max_attempts, 5ms, 20ms, false};
    };
    if (call.gemini) {
      host::CallOptions options;
      set(options);
      gemini.start_async("a lake", "16:9", "1K", {}, "gemini-3-pro-image-preview", options, done);
    } else {
      image::corvane::ImageCallOptions options;
      set(options);
      images.start_async("a lake", "3:2", "low", "", {}, options, done);
    }
  }
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return in_flight == 0; });
    launching = false;
  }
  return calls;
}

TEST(Soak, EveryCallEndsOnceWithAResultItsCircumstancesAllow) {
  const char* configured = std::getenv("ZANTREL_SOAK_CALLS");
  const int count = configured ? std::atoi(configured) : 2000;
  // In a process of its own, so that only the client's descriptors and memory are counted.
  const std::string mix =
      "small-delay:20:8,busy:1,status:503:1,reset:1,delay:2500:1,oversized:8:1,file-link:1,"
      "link-halfway:1";
  cli::ChildProcess emulator({ZANTREL_EMULATOR_PATH, "--threads", "128", "--scenario-mix", mix});
  const std::string listening = emulator.read_line(10s);
  const std::string base_url = listening.substr(listening.find("http://"));

  // A first round warms what stays (libcurl, TLS tables, the allocator's arenas).
  const int descriptors = open_descriptors();
  run_calls(base_url, std::max(count / 20, 50), 7);
  malloc_trim(0);
  const long resident = resident_kib();

  auto calls = run_calls(base_url, count, 11);
  std::map<std::string, int> outcomes;
  for (const auto& call : calls) {
    ASSERT_EQ(call->endings.load(), 1);
    const host::ServiceResult& result = *call->result;
    const std::string kind = call->report.failure_kind.value_or("");
    outcomes[result.ok() ? "ok" : std::string(host::to_string(*result.code())) + "/" + kind]++;
    if (result.ok()) {
      EXPECT_TRUE((result.bytes() && !result.bytes()->empty()) || result.link());
      continue;
    }
    // Only a stop ends a call as cancelled, only a deadline as past it.
    if (kind == "Cancelled") {
      EXPECT_TRUE(call->stop_after.has_value());
      EXPECT_EQ(result.code(), ErrorCode::SERVICE_BUSY);
    }
    if (kind == "DeadlineExceeded") {
      EXPECT_TRUE(call->deadline.has_value());
      EXPECT_EQ(result.code(), ErrorCode::SERVICE_TIMEOUT);
    }
    EXPECT_LE(call->report.attempts, call->max_attempts);
    EXPECT_NE(result.code(), ErrorCode::INVALID_PARAMS);
  }
  for (const auto& [outcome, n] : outcomes) std::printf("%6d  %s\n", n, outcome.c_str());
  EXPECT_GT(outcomes["ok"], count / 4);

  calls.clear();  // the results and reports, the last of what the calls gave the host

  // The client is gone, and its connections with it (its event thread may take a moment to
  // wind down when the last call's completion dropped the client).
  for (int i = 0; i < 300 && open_descriptors() > descriptors; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(open_descriptors(), descriptors);
  malloc_trim(0);
  const long grown = resident_kib() - resident;
  std::printf("resident after the calls: %+ld KiB\n", grown);
  if (kResidentSizeMeaningful) {
    EXPECT_LT(grown, 16 * 1024) << "KiB more resident after the calls";
  }
}

}  // namespace
}  // namespace zantrel::test_support
