// The waiting for a job: what ends it (an answer whose job has ended, an error the job will
// not outlive, six asks in a row that say nothing, the call's deadline) and what it rides out.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>
#include <variant>

#include "zantrel/host/call/job_polling.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;

// Answers each get with the next scripted reply: a status and body, or a failure.
class ScriptedPolls final : public host::HttpClient {
 public:
  std::deque<std::variant<std::pair<int, std::string>, std::exception_ptr>> replies;
  int gets = 0;

  host::HttpResponse post(const std::string&, const host::PostRequest&) override {
    throw std::logic_error("a poll never posts");
  }
  host::HttpResponse get(const std::string&, const host::GetRequest&) override {
    ++gets;
    auto reply = replies.front();
    replies.pop_front();
    if (auto* failure = std::get_if<std::exception_ptr>(&reply)) std::rethrow_exception(*failure);
    const auto& [status, body] = std::get<std::pair<int, std::string>>(reply);
    host::HttpResponse response;
    response.status_code = status;
    response.body = host::to_bytes(body);
    return response;
  }
  host::Timeout base_timeout() const override { return {}; }
};

host::JobStatus status_word(std::string_view body) {
  host::JobStatus status;
  status.state = std::string(body);
  if (body == "done") status.phase = host::JobStatus::Phase::kDone;
  return status;
}

TEST(JobPolling, EndsOnAnEndedJobOrAnAnswerItWillNotOutlive) {
  using Reply = std::variant<std::pair<int, std::string>, std::exception_ptr>;
  const Reply waiting = std::pair{200, std::string("running")};
  const Reply done = std::pair{200, std::string("done")};
  const Reply busy = std::pair{503, std::string("busy")};
  const Reply gone = std::pair{404, std::string("gone")};
  const Reply cut = std::make_exception_ptr(host::ConnectionError("cut"));
  const struct {
    const char* what;
    std::vector<Reply> replies;
    int status;  // of the answer given; 0: a failure is thrown
    int polls;
  } cases[] = {
      {"waits until the job has ended", {waiting, waiting, done}, 200, 3},
      {"rides out busy and lost asks", {busy, cut, busy, done}, 200, 4},
      {"a job the service no longer holds ends it", {waiting, gone}, 404, 2},
      {"six busy answers in a row end it", {busy, busy, busy, busy, busy, busy}, 503, 6},
      {"six lost asks in a row end it", {cut, cut, cut, cut, cut, cut}, 0, 6},
      {"an answer in between starts the count again",
       {cut, cut, cut, cut, cut, waiting, cut, cut, cut, cut, cut, done},
       200,
       12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPolls client;
    client.replies.assign(c.replies.begin(), c.replies.end());
    const host::internal::Exchange exchange(client, host::internal::Exchange::Mode::kBlocking, {});
    host::JobReport report;
    auto polls = host::internal::poll_job(
        exchange, {"http://service/jobs/1", {"k", "v"}, status_word}, {}, {1ms, 1.5, 4ms}, report);
    if (c.status == 0) {
      EXPECT_THROW((void)std::move(polls).run_blocking(), host::ConnectionError);
    } else {
      EXPECT_EQ(std::move(polls).run_blocking().status_code, c.status);
    }
    EXPECT_EQ(report.polls, c.polls);
    EXPECT_EQ(client.gets, c.polls);
  }
}

TEST(JobPolling, StopsAtTheCallsDeadline) {
  ScriptedPolls client;
  for (int i = 0; i < 100; ++i) client.replies.emplace_back(std::pair{200, std::string("running")});
  host::CallLimits limits;
  limits.deadline = std::chrono::steady_clock::now() + 50ms;
  const host::internal::Exchange exchange(client, host::internal::Exchange::Mode::kBlocking,
                                          limits);
  host::JobReport report;
  const auto started = std::chrono::steady_clock::now();
  auto polls =
      host::internal::poll_job(exchange, {"http://service/jobs/1", {"k", "v"}, status_word}, {},
                               {10ms, 2.0, 1000ms}, report);
  EXPECT_THROW((void)std::move(polls).run_blocking(), host::DeadlineExceeded);
  // The pause before the next ask is cut at the deadline, not waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
  EXPECT_GE(report.polls, 1);
}

TEST(JobRef, GoesToTextAndBack) {
  const host::JobRef job{host::Service::kImages, "resp_1", "gpt-image-2", "2026-12-11T10:00:00Z",
                         "abc"};
  const host::JobRef read = host::JobRef::from_text(job.to_text());
  EXPECT_EQ(read.service, job.service);
  EXPECT_EQ(read.id, job.id);
  EXPECT_EQ(read.model, job.model);
  EXPECT_EQ(read.created, job.created);
  EXPECT_EQ(read.digest, job.digest);
  EXPECT_EQ(host::internal::job_refusal(read, host::Service::kGemini).value_or(""),
            "job resp_1 is the images service's, not this client's");
  host::JobRef odd = job;
  odd.id = "../batches";
  EXPECT_TRUE(host::internal::job_refusal(odd, host::Service::kImages));
  EXPECT_FALSE(host::internal::job_refusal(job, host::Service::kImages));
}

}  // namespace
}  // namespace zantrel::test_support
