// Bursts of calls against a plain threaded server with a listen queue of five (Python's
// ThreadingHTTPServer, one thread per connection, HTTP/1.0 answers after a pause), as many
// front ends in a host's network are.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/core/child_process.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using host::CallReport;
using host::ServiceResult;

class ThreadedServer {
 public:
  ThreadedServer() : process_({ZANTREL_PYTHON3, ZANTREL_THREADED_SERVER, "--delay", "1"}) {
    const std::string line = process_.read_line(10s);
    base_url_ = "http://127.0.0.1:" + line.substr(line.find(' ') + 1);
  }
  const std::string& base_url() const { return base_url_; }
  // Requests it has read whole.
  int posts() const {
    host::CurlHttpClient http;
    return std::stoi(std::string(host::as_text(http.get(base_url_ + "/count", {}).body)));
  }

 private:
  cli::ChildProcess process_;
  std::string base_url_;
};

struct Call {
  ServiceResult result;
  CallReport report;
};

// `count` calls at once, each on its own thread or all on the event engine.
std::vector<Call> burst(const image::tavelin::TavelinaClient& client, int count, bool blocking,
                        const std::string& prompt) {
  std::vector<Call> calls(static_cast<std::size_t>(count), {ServiceResult::fail({}), {}});
  const auto options_for = [&calls](std::size_t i) {
    host::CallOptions options;
    options.report = &calls[i].report;
    options.deadline = host::Deadline::clock::now() + 60s;
    return options;
  };
  if (blocking) {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      threads.emplace_back([&, i] {
        calls[i].result =
            client.start(prompt, "1:1", "1K", {}, image::tavelin::kDefaultModel, options_for(i));
      });
    }
  } else {
    std::vector<std::future<ServiceResult>> results;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      results.push_back(client.start_async(prompt, "1:1", "1K", {}, image::tavelin::kDefaultModel,
                                           options_for(i)));
    }
    for (std::size_t i = 0; i < calls.size(); ++i) calls[i].result = results[i].get();
  }
  return calls;
}

int succeeded(const std::vector<Call>& calls) {
  int ok = 0;
  for (const Call& call : calls) ok += call.result.ok() ? 1 : 0;
  return ok;
}

// A request of many segments on loopback (whose segments take 64 KiB), cheap to write.
const std::string kLongPrompt(200'000, 'x');

TEST(Burst, EveryCallOfABurstIsAnsweredOnEitherPath) {
  struct Row {
    const char* name;
    bool blocking;
    bool large;
  };
  for (const Row row : {Row{"blocking, small", true, false}, Row{"engine, small", false, false},
                        Row{"blocking, large", true, true}, Row{"engine, large", false, true}}) {
    ThreadedServer server;
    image::tavelin::TavelinaOptions options;
    options.http_client = std::make_shared<host::CurlHttpClient>();
    const image::tavelin::TavelinaClient client(server.base_url(), "k", options);
    const auto calls = burst(client, 64, row.blocking, row.large ? kLongPrompt : "x");
    EXPECT_EQ(succeeded(calls), 64) << row.name;
    EXPECT_EQ(server.posts(), 64) << row.name;
  }
}

// Without the bound on connections being opened, threads connecting at once overflow the
// server's listen queue:
// its kernel answers with SYN cookies and resets requests it never took. Those failures are
// "not sent" (and so may be sent again); nothing the server read is among them.
TEST(Burst, ResetsOfRequestsTheServerNeverTookAreNotSent) {
  ThreadedServer server;
  host::CurlHttpClientOptions unbounded;
  unbounded.max_connecting_per_host = 0;
  image::tavelin::TavelinaOptions options;
  options.http_client = std::make_shared<host::CurlHttpClient>(unbounded);
  const image::tavelin::TavelinaClient client(server.base_url(), "k", options);
  const auto calls = burst(client, 128, true, kLongPrompt);
  int resets = 0;
  for (const Call& call : calls) {
    if (call.result.ok() || call.report.failure_kind != "ConnectionError") continue;
    ++resets;
    EXPECT_EQ(call.report.delivery, host::Delivery::kNotSent);
  }
  EXPECT_EQ(server.posts(), succeeded(calls));
  if (resets == 0) GTEST_SKIP() << "this kernel took the whole burst without a reset";
}

}  // namespace
}  // namespace zantrel::test_support
