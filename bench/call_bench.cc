// Whole calls through libcurl against the emulator, for what a microbenchmark can't show:
//   call_bench memory gemini|edit URL
//                               peak RSS growth of one call (4 x 8 MiB references as files, the
//                               emulator answering a 20 MiB image), as JSON
//   call_bench in-flight URL    peak RSS growth of 64 Gemini calls at once sharing references
//   call_bench concurrency      32 threads x 8 calls on the shared client against an in-process
//                               emulator that answers after 200 ms; wall time and connections
//   call_bench serve MS         the event-driven loopback server (bench/event_server.h)
//   call_bench engine-flight URL   1,000 start_async calls at once (server answering after 2 s):
//                               wall, library threads, peak RSS growth
//   call_bench engine-cancel URL   100 calls in flight, all cancelled at once: slowest delivery
//   call_bench engine-rounds URL   32 start_async calls x 8 rounds (answers after 200 ms)
//   call_bench engine-jobs URL SECONDS   1,000 background jobs at once, each done SECONDS after
//                               its submit: wall, library threads, the server's submits and polls
//   call_bench burst URL SECONDS   256 start_async calls at once against a plain threaded server
//                               (a thread per connection, answering after SECONDS): ok, wall
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/event_server.h"
#include "bench/payloads.h"
#include "bench/process_memory.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

namespace fs = std::filesystem;
using zantrel::bench::kMiB;
using zantrel::bench::reset_peak;
using zantrel::bench::status_kib;
using zantrel::host::Bytes;

void write_reference(const fs::path& path, std::size_t size, unsigned seed) {
  const Bytes image = zantrel::bench::image_of(size, seed);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
}

// References as files, as a host usually has them.
std::vector<zantrel::host::Reference> reference_files(const fs::path& dir) {
  std::vector<zantrel::host::Reference> references;
  for (unsigned i = 0; i < 4; ++i) {
    const fs::path path = dir / ("reference-" + std::to_string(i) + ".png");
    write_reference(path, 8 * kMiB, i + 1);
    references.emplace_back(path.string());
  }
  return references;
}

// One call of `service` ("gemini" or "edit") with four 8 MiB reference files against an
// emulator answering a 20 MiB image: its peak RSS growth beside what it can't do without, the
// references it loads and the response body it receives.
int memory(const std::string& service, const std::string& url) {
  const fs::path dir = fs::temp_directory_path() / ("zantrel-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto references = reference_files(dir);
  reset_peak();
  const long before = status_kib("VmRSS:");
  auto result = service == "gemini" ? zantrel::image::tavelin::TavelinaClient(url, "bench-key")
                                          .start("a valley at dawn", "16:9", "4K", references)
                                    : zantrel::image::corvane::CorvaneClient(url, "bench-key")
                                          .start("a valley at dawn", "3:2", "high", "", references);
  const long peak = status_kib("VmHWM:");
  fs::remove_all(dir);
  if (!result.ok()) {
    std::fprintf(stderr, "call failed: %s\n", result.msg().value_or("").c_str());
    return 1;
  }
  const std::size_t image = result.bytes()->size();
  const std::size_t needed = 4 * 8 * kMiB + zantrel::host::base64_encoded_size(image);
  std::printf(R"({"rss_growth_bytes":%ld,"needed_bytes":%zu,"image_bytes":%zu})"
              "\n",
              (peak - before) * 1024, needed, image);
  return 0;
}

// 64 Gemini calls at once, each with the same four 8 MiB references that the host holds once,
// against an emulator (another process) answering each after a pause: the peak RSS growth while
// they are in flight.
int in_flight(const std::string& url) {
  constexpr int kCalls = 64;
  const std::vector<Bytes> references = zantrel::bench::references(4, 8 * kMiB);
  const std::optional<std::vector<Bytes>> shared(references);
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  std::vector<int> failed(kCalls, 0);
  reset_peak();
  const long before = status_kib("VmRSS:");
  {
    std::vector<std::jthread> calls;
    for (int i = 0; i < kCalls; ++i) {
      calls.emplace_back([&, i] {
        failed[i] = client.generate_image("a valley at dawn", shared, "16:9", "1K").ok() ? 0 : 1;
      });
    }
  }
  const long peak = status_kib("VmHWM:");
  int failures = 0;
  for (int f : failed) failures += f;
  std::printf(R"({"rss_growth_bytes":%ld,"calls":%d,"failed":%d})"
              "\n",
              (peak - before) * 1024, kCalls, failures);
  return failures == 0 ? 0 : 1;
}

int concurrency() {
  zantrel::emulator::EmulatorOptions options;
  options.scenario = *zantrel::emulator::Scenario::parse("small-delay:200");
  zantrel::emulator::Emulator emulator(options);
  emulator.start();
  const zantrel::image::tavelin::TavelinaClient client(emulator.base_url(), "bench-key");
  const int kThreads = std::getenv("BENCH_THREADS") ? std::atoi(std::getenv("BENCH_THREADS")) : 32;
  constexpr int kCalls = 8;
  std::vector<int> failures(kThreads, 0);
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int c = 0; c < kCalls; ++c) {
          if (!client.start("a valley at dawn", "16:9", "1K").ok()) ++failures[t];
        }
      });
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int failed = 0;
  for (int f : failures) failed += f;
  std::printf(R"({"wall_seconds":%.4f,"ideal_seconds":%.4f,"connections":%zu,"failed":%d})"
              "\n",
              wall, kCalls * 0.2, emulator.connections(), failed);
  emulator.stop();
  return failed == 0 ? 0 : 1;
}

int thread_count() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

using Clock = std::chrono::steady_clock;
using zantrel::host::ServiceResult;

// Calls started at once through the event engine; waits for all and gives each result's time.
struct Flight {
  std::mutex mutex;
  std::condition_variable all_done;
  int left = 0;
  int failed = 0;
  std::vector<Clock::time_point> finished;
};

void launch(const zantrel::image::tavelin::TavelinaClient& client, Flight& flight, int calls,
            const std::stop_token& stop = {}, bool background = false) {
  {
    std::lock_guard lock(flight.mutex);
    flight.left += calls;
  }
  for (int i = 0; i < calls; ++i) {
    zantrel::host::CallOptions options;
    options.stop = stop;
    options.background = background;
    client.start_async("a valley at dawn", "16:9", "1K", {}, "gemini-3-pro-image-preview", options,
                       [&flight](ServiceResult result) {
                         std::lock_guard lock(flight.mutex);
                         flight.finished.push_back(Clock::now());
                         if (!result.ok()) ++flight.failed;
                         if (--flight.left == 0) flight.all_done.notify_all();
                       });
  }
}

void land(
    Flight& flight, const std::function<void()>& while_waiting = [] {}) {
  std::unique_lock lock(flight.mutex);
  while (!flight.all_done.wait_for(lock, std::chrono::milliseconds(10),
                                   [&] { return flight.left == 0; })) {
    lock.unlock();
    while_waiting();
    lock.lock();
  }
}

// The median seconds of `count` Gemini calls with four 8 MiB references held in memory (the
// baseline of the Python module's overhead, bench/python_overhead.py).
int timed_gemini(const std::string& url, int count) {
  const std::vector<Bytes> images = zantrel::bench::references(4, 8 * kMiB);
  const zantrel::host::Files files =
      std::vector<zantrel::host::Reference>(images.begin(), images.end());
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  std::vector<double> seconds;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    if (!client.start("a valley at dawn", "16:9", "4K", files).ok()) return 1;
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf(R"({"calls":%d,"median_seconds":%.5f})"
              "\n",
              count, seconds[seconds.size() / 2]);
  return 0;
}

int engine_flight(const std::string& url) {
  constexpr int kCalls = 1000;
  raise_fd_limit();
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  Flight flight;
  const int threads_before = thread_count();
  int threads_peak = threads_before;
  reset_peak();
  const long before = status_kib("VmRSS:");
  const auto start = Clock::now();
  launch(client, flight, kCalls);
  land(flight, [&] { threads_peak = std::max(threads_peak, thread_count()); });
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const long peak = status_kib("VmHWM:");
  std::printf(
      R"({"calls":%d,"failed":%d,"wall_seconds":%.4f,"extra_threads":%d,"rss_growth_bytes":%ld})"
      "\n",
      kCalls, flight.failed, wall, threads_peak - threads_before, (peak - before) * 1024);
  return flight.failed == 0 ? 0 : 1;
}

// 1,000 calls as background jobs at once, each done 2 s after its submit: the waiting is pauses
// on the event engine, so one thread carries them all and the wall is the job's time plus the
// polling's last pause.
int engine_jobs(const std::string& url, double job_seconds) {
  constexpr int kCalls = 1000;
  raise_fd_limit();
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  Flight flight;
  const int threads_before = thread_count();
  int threads_peak = threads_before;
  const auto start = Clock::now();
  launch(client, flight, kCalls, {}, true);
  land(flight, [&] { threads_peak = std::max(threads_peak, thread_count()); });
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  // The default polling: pauses of 1 s, growing by half each time. The last pause before a job
  // of `job_seconds` is seen done is the bound's slack.
  const zantrel::host::JobPolling polling;
  double waited = 0;
  double pause = std::chrono::duration<double>(polling.first).count();
  while (waited + pause < job_seconds) {
    waited += pause;
    pause *= polling.growth;
  }
  zantrel::host::CurlHttpClient http;
  const std::string stats(zantrel::host::as_text(http.get(url + "/stats", {}).body));
  std::printf(R"({"calls":%d,"failed":%d,"wall_seconds":%.4f,"job_seconds":%.1f,)"
              R"("last_pause_seconds":%.2f,"extra_threads":%d,"server":%s})"
              "\n",
              kCalls, flight.failed, wall, job_seconds, pause, threads_peak - threads_before,
              stats.c_str());
  return flight.failed == 0 ? 0 : 1;
}

int burst(const std::string& url, double answer_seconds) {
  constexpr int kCalls = 256;
  raise_fd_limit();
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  Flight flight;
  const auto start = Clock::now();
  launch(client, flight, kCalls);
  land(flight);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  zantrel::host::CurlHttpClient http;
  const std::string posts(zantrel::host::as_text(http.get(url + "/count", {}).body));
  // A thread per connection: the server could answer all calls in one answer time.
  std::printf(R"({"calls":%d,"ok":%d,"server_posts":%s,"wall_seconds":%.4f,"ideal_seconds":%.4f})"
              "\n",
              kCalls, kCalls - flight.failed, posts.c_str(), wall, answer_seconds);
  return 0;
}

int engine_cancel(const std::string& url) {
  constexpr int kCalls = 100;
  raise_fd_limit();
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  Flight flight;
  std::stop_source stop;
  launch(client, flight, kCalls, stop.get_token());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // all sent and waiting
  const auto cancelled = Clock::now();
  stop.request_stop();
  land(flight);
  double slowest = 0;
  for (const auto& at : flight.finished) {
    slowest = std::max(slowest, std::chrono::duration<double>(at - cancelled).count());
  }
  std::printf(R"({"calls":%d,"cancelled":%d,"slowest_delivery_seconds":%.4f})"
              "\n",
              kCalls, flight.failed, slowest);
  return flight.failed == kCalls ? 0 : 1;
}

int engine_rounds(const std::string& url) {
  constexpr int kCalls = 32;
  constexpr int kRounds = 8;
  const zantrel::image::tavelin::TavelinaClient client(url, "bench-key");
  // The server counts the connections it accepted (this query's own included).
  zantrel::host::CurlHttpClient http;
  const auto accepted = [&] {
    return http.get(url + "/stats", {}).json()["connections"].get<int>();
  };
  const int before = accepted();
  int failed = 0;
  const auto start = Clock::now();
  for (int round = 0; round < kRounds; ++round) {
    Flight flight;
    launch(client, flight, kCalls);
    land(flight);
    failed += flight.failed;
  }
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(R"({"wall_seconds":%.4f,"ideal_seconds":%.4f,"connections":%d,"failed":%d})"
              "\n",
              wall, kRounds * 0.2, accepted() - before, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "memory" && argc == 4) return memory(argv[2], argv[3]);
  if (mode == "in-flight" && argc == 3) return in_flight(argv[2]);
  if (mode == "concurrency") return concurrency();
  if (mode == "serve" && argc == 3) {
    return zantrel::bench::serve_events(std::chrono::milliseconds(std::atol(argv[2])));
  }
  if (mode == "engine-flight" && argc == 3) return engine_flight(argv[2]);
  if (mode == "timed-gemini" && argc == 4) return timed_gemini(argv[2], std::atoi(argv[3]));
  if (mode == "engine-cancel" && argc == 3) return engine_cancel(argv[2]);
  if (mode == "engine-rounds" && argc == 3) return engine_rounds(argv[2]);
  if (mode == "engine-jobs" && argc == 4) return engine_jobs(argv[2], std::atof(argv[3]));
  if (mode == "burst" && argc == 4) return burst(argv[2], std::atof(argv[3]));
  std::fprintf(stderr,
               "usage: call_bench memory gemini|edit URL | call_bench in-flight URL | "
               "call_bench concurrency | call_bench serve MS | "
               "call_bench engine-flight|engine-cancel|engine-rounds URL\n");
  return 2;
}
