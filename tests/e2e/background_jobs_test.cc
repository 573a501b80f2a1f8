// Calls run as jobs the service holds, against the emulator's job APIs behind a gateway that
// drops idle exchanges: a direct call that outlasts the cut dies, the same call as a job ends
// well with the same image; a job is submitted once, outlives its process as text, and its
// failures (failed, gone, cancelled, a lost submit, busy polls) end as typed results.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "tests/support/canary.h"
#include "tools/emulator/emulator.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"
#include "zantrel/testkit/capturing_logger.h"

namespace zantrel {
namespace {

using host::Delivery;
using host::ErrorCode;
using image::corvane::CorvaneClient;
using image::corvane::ImageRequest;
using image::tavelin::GenerationRequest;
using image::tavelin::TavelinaClient;
using namespace std::chrono_literals;

enum class Service { kGemini, kImages };

// How a call is made.
enum class Form {
  kDirect,
  kStream,
  kInteractions,
  kBackground,
  kBackgroundAsync,
  kSubmitThenCollect
};

struct Outcome {
  host::ServiceResult result = host::ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  host::CallReport report;
  std::uint64_t submits = 0;  // jobs the emulator saw submitted by the call
};

class BackgroundJobs : public ::testing::Test {
 protected:
  void start_emulator(std::chrono::milliseconds idle_cut) {
    key_ = test_support::make_canary_key();
    emulator::EmulatorOptions options;
    options.api_key = key_;
    options.dialect = emulator::AcceptedDialect::kDirect;
    options.idle_cut = idle_cut;
    emulator_ = std::make_unique<emulator::Emulator>(options);
    emulator_->start();
  }

  TavelinaClient client() const {
    image::tavelin::TavelinaOptions options;
    options.dialect = host::Dialect::kDirect;
    options.logger = logger_;
    return {emulator_->base_url(), key_, options};
  }

  CorvaneClient images_client() const {
    image::corvane::CorvaneOptions options;
    options.dialect = host::Dialect::kDirect;
    options.logger = logger_;
    return {emulator_->base_url(), key_, options};
  }

  static host::CallOptions quick_polls(host::CallReport* report) {
    host::CallOptions options;
    options.report = report;
    options.polling = {50ms, 1.5, 200ms};
    options.deadline = std::chrono::steady_clock::now() + 30s;
    return options;
  }

  // The same call made as `form` on either client.
  template <class Client, class Request>
  static host::ServiceResult made(const Client& made_by, const Client& collected_by, Form form,
                                  const Request& request, host::CallOptions options,
                                  host::ServiceApi api) {
    switch (form) {
      case Form::kDirect:
        return made_by.start(request, options);
      case Form::kStream:
        options.stream = true;
        return made_by.start(request, options);
      case Form::kInteractions:
        options.api = api;
        return made_by.start(request, options);
      case Form::kBackground:
        options.background = true;
        return made_by.start(request, options);
      case Form::kBackgroundAsync:
        options.background = true;
        return made_by.start_async(request, options).get();
      case Form::kSubmitThenCollect: {
        host::CallReport submit_report;
        const host::JobSubmission submitted = made_by.submit(request, quick_polls(&submit_report));
        if (!submitted.ok()) {
          *options.report = submit_report;
          return host::ServiceResult::fail(*submitted.result.code(), submitted.result.msg());
        }
        // The job outlives its client: another one, from its text alone, collects it.
        const host::JobRef job = host::JobRef::from_text(submitted.job->to_text());
        return collected_by.collect_async(job, options).get();
      }
    }
    return host::ServiceResult::fail(ErrorCode::SERVICE_BUSY);
  }

  Outcome call(Form form, const std::string& scenario, Service service = Service::kGemini) {
    emulator_->set_scenario(*emulator::Scenario::parse(scenario));
    const std::uint64_t before = emulator_->job_submits();
    Outcome out;
    const host::CallOptions options = quick_polls(&out.report);
    if (service == Service::kGemini) {
      const GenerationRequest request{.prompt = "a lighthouse in fog", .aspect_ratio = "1:1"};
      out.result = made(client(), client(), form, request, options, host::GeminiApi::interactions);
    } else {
      const ImageRequest request{.prompt = "a lighthouse in fog", .aspect_ratio = "1:1"};
      out.result = made(images_client(), images_client(), form, request, options,
                        host::ImagesApi::responses);
    }
    out.submits = emulator_->job_submits() - before;
    return out;
  }

  std::string key_;
  std::shared_ptr<testkit::CapturingLogger> logger_ = std::make_shared<testkit::CapturingLogger>();
  std::unique_ptr<emulator::Emulator> emulator_;
};

TEST_F(BackgroundJobs, OutliveAGatewaysIdleCutWithTheSameImage) {
  start_emulator(700ms);
  for (const Service service : {Service::kGemini, Service::kImages}) {
    const Outcome reference = call(Form::kDirect, "normal", service);
    ASSERT_TRUE(reference.result.ok());
    const struct {
      Form form;
      const char* scenario;
      bool ok;
      Delivery delivery;
      std::uint64_t submits;
    } cases[] = {
        {Form::kDirect, "delay:1500", false, Delivery::kNoAnswer, 0},
        // Streaming keeps an exchange alive only while events flow: none come before the image.
        {Form::kStream, "delay:1500", false, Delivery::kNoAnswer, 0},
        {Form::kInteractions, "delay:1500", false, Delivery::kNoAnswer, 0},
        {Form::kInteractions, "normal", true, Delivery::kAnswered, 1},
        {Form::kBackground, "delay:1500", true, Delivery::kAnswered, 1},
        {Form::kBackgroundAsync, "delay:1500", true, Delivery::kAnswered, 1},
        {Form::kSubmitThenCollect, "delay:1500", true, Delivery::kAnswered, 1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.scenario) + " form " + std::to_string(static_cast<int>(c.form)) +
                   (service == Service::kGemini ? " gemini" : " images"));
      const Outcome out = call(c.form, c.scenario, service);
      EXPECT_EQ(out.result.ok(), c.ok) << out.result.msg().value_or("");
      EXPECT_EQ(out.report.delivery, c.delivery);
      EXPECT_EQ(out.submits, c.submits);
      if (!c.ok) continue;
      ASSERT_NE(out.result.bytes(), nullptr);
      EXPECT_EQ(*out.result.bytes(), *reference.result.bytes());
      // The Responses API counts the calling model's tokens only: the image's, and so its cost,
      // stay unknown rather than priced at the image model's rates.
      if (service == Service::kGemini) {
        EXPECT_EQ(out.report.usage.total_tokens, reference.report.usage.total_tokens);
      } else if (c.form != Form::kDirect) {
        EXPECT_FALSE(out.report.cost.has_value());
      }
      if (c.form == Form::kDirect || c.form == Form::kStream || c.form == Form::kInteractions)
        continue;
      ASSERT_TRUE(out.report.job.has_value());
      EXPECT_EQ(out.report.job->state, "completed");
      EXPECT_GE(out.report.job->polls, 1);
      EXPECT_EQ(out.report.job->submitted, c.form != Form::kSubmitThenCollect);
    }
  }
  for (const auto& record : logger_->records()) {
    EXPECT_FALSE(test_support::leaks(record.dump(), key_)) << record.dump();
  }
}

TEST_F(BackgroundJobs, EndEachFailureAsATypedResult) {
  start_emulator(0ms);
  const struct {
    Service service;
    Form form;
    const char* scenario;
    ErrorCode code;
    const char* message;
    Delivery delivery;
  } cases[] = {
      {Service::kGemini, Form::kBackground, "job:delay=100+fail", ErrorCode::IMAGE_GENERATE_FAIL,
       "Internal error encountered.", Delivery::kAnswered},
      {Service::kGemini, Form::kBackground, "job:delay=100+expire", ErrorCode::IMAGE_GENERATE_FAIL,
       "not found", Delivery::kAnswered},
      {Service::kGemini, Form::kBackground, "job:delay=100+lost-submit", ErrorCode::SERVICE_BUSY,
       "", Delivery::kNoAnswer},
      {Service::kGemini, Form::kBackground, "no-image", ErrorCode::NO_IMAGE_RESULT, "",
       Delivery::kAnswered},
      {Service::kGemini, Form::kBackground, "status:400", ErrorCode::IMAGE_GENERATE_FAIL, "",
       Delivery::kAnswered},
      {Service::kImages, Form::kBackground, "job:delay=100+fail", ErrorCode::IMAGE_GENERATE_FAIL,
       "The server had an error processing your request.", Delivery::kAnswered},
      {Service::kImages, Form::kBackground, "job:delay=100+expire", ErrorCode::IMAGE_GENERATE_FAIL,
       "not found", Delivery::kAnswered},
      {Service::kImages, Form::kSubmitThenCollect, "job:delay=100+lost-submit",
       ErrorCode::SERVICE_BUSY, "", Delivery::kNoAnswer},
      {Service::kImages, Form::kBackground, "status:400", ErrorCode::IMAGE_GENERATE_FAIL, "",
       Delivery::kAnswered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + (c.service == Service::kGemini ? " gemini" : " images"));
    const Outcome out = call(c.form, c.scenario, c.service);
    ASSERT_FALSE(out.result.ok());
    EXPECT_EQ(out.result.code(), c.code) << out.result.msg().value_or("");
    EXPECT_NE(out.result.msg().value_or("").find(c.message), std::string::npos)
        << out.result.msg().value_or("");
    EXPECT_EQ(out.report.delivery, c.delivery);
  }
  // Polls answered 503 cost nothing: the job still ends well.
  const Outcome busy = call(Form::kBackground, "job:delay=100+busy-polls=2");
  EXPECT_TRUE(busy.result.ok()) << busy.result.msg().value_or("");
  ASSERT_TRUE(busy.report.job.has_value());
  EXPECT_GE(busy.report.job->polls, 3);
}

TEST_F(BackgroundJobs, AreCancelledAndAskedForByTheirText) {
  start_emulator(0ms);
  emulator_->set_scenario(*emulator::Scenario::parse("job:delay=5000"));
  const TavelinaClient gemini = client();
  const host::JobSubmission submitted =
      gemini.submit({.prompt = "a boat", .aspect_ratio = "1:1"}, quick_polls(nullptr));
  ASSERT_TRUE(submitted.ok()) << submitted.result.msg().value_or("");
  EXPECT_FALSE(submitted.job->model.empty());
  EXPECT_EQ(submitted.job->digest.size(), 64U);
  EXPECT_EQ(gemini.job_status(*submitted.job).phase, host::JobStatus::Phase::kWaiting);
  EXPECT_EQ(gemini.cancel(*submitted.job).phase, host::JobStatus::Phase::kCancelled);
  host::CallReport report;
  const host::ServiceResult collected = gemini.collect(*submitted.job, quick_polls(&report));
  EXPECT_EQ(collected.code(), ErrorCode::SERVICE_BUSY);
  EXPECT_EQ(report.job->state, "cancelled");

  host::JobRef unknown = *submitted.job;
  unknown.id = "v1_int_none";
  try {
    (void)gemini.job_status(unknown);
    ADD_FAILURE() << "a job the service does not hold is refused";
  } catch (const host::ServiceRefused& refused) {
    EXPECT_EQ(refused.status_code(), 404);
  }
  const struct {
    const char* text;
    const char* why;
  } bad_texts[] = {
      {"not json", "JSON object"},
      {R"({"service":"gemini","model":"m"})", "\"id\""},
      {R"({"service":"video","id":"x","model":"m"})", "\"gemini\" or \"images\""},
  };
  for (const auto& bad : bad_texts) {
    try {
      (void)host::JobRef::from_text(bad.text);
      ADD_FAILURE() << bad.text;
    } catch (const host::InvalidArgument& e) {
      EXPECT_NE(std::string(e.what()).find(bad.why), std::string::npos) << e.what();
    }
  }
}

TEST_F(BackgroundJobs, ContinueAConversationTheServiceKeepsByItsLastId) {
  start_emulator(0ms);
  const TavelinaClient gemini = client();
  host::Conversation conversation;
  const struct {
    const char* prompt;
    bool background;
  } turns[] = {{"a red boat", false}, {"now make it blue", true}, {"add a moon", false}};
  std::string last_id;
  host::Bytes last_image;
  for (const auto& turn : turns) {
    SCOPED_TRACE(turn.prompt);
    host::CallReport report;
    host::CallOptions options = quick_polls(&report);
    options.api = host::GeminiApi::interactions;
    options.background = turn.background;
    const host::ServiceResult result =
        gemini.continue_with(conversation, {.prompt = turn.prompt, .aspect_ratio = "1:1"}, options);
    ASSERT_TRUE(result.ok()) << result.msg().value_or("");
    // Each turn names the one before (an id the service does not hold is refused with 404).
    ASSERT_TRUE(conversation.service_thread().has_value());
    EXPECT_EQ(conversation.service_thread()->api, "interactions");
    EXPECT_FALSE(conversation.service_thread()->id.empty());
    EXPECT_NE(conversation.service_thread()->id, last_id);
    EXPECT_NE(*result.bytes(), last_image);
    last_id = conversation.service_thread()->id;
    last_image = *result.bytes();
  }
  EXPECT_EQ(conversation.exchanges(), 3U);
  // The images service's Responses API keeps its conversation the same way.
  const CorvaneClient images = images_client();
  host::Conversation edits;
  std::string last_response;
  for (const auto& turn : turns) {
    SCOPED_TRACE(std::string("images: ") + turn.prompt);
    host::CallOptions options = quick_polls(nullptr);
    options.api = host::ImagesApi::responses;
    options.background = turn.background;
    const host::ServiceResult result =
        images.continue_with(edits, {.prompt = turn.prompt, .aspect_ratio = "1:1"}, options);
    ASSERT_TRUE(result.ok()) << result.msg().value_or("");
    ASSERT_TRUE(edits.service_thread().has_value());
    EXPECT_EQ(edits.service_thread()->api, "responses");
    EXPECT_FALSE(edits.service_thread()->id.empty());
    EXPECT_NE(edits.service_thread()->id, last_response);
    last_response = edits.service_thread()->id;
  }
  // Saved and read back, it goes on from the same interaction.
  const host::Conversation read = host::Conversation::from_json(conversation.to_json());
  ASSERT_TRUE(read.service_thread().has_value());
  EXPECT_EQ(read.service_thread()->id, last_id);

  // Turns that went by generateContent are not the service's to continue.
  host::Conversation sent_whole;
  ASSERT_TRUE(gemini.continue_with(sent_whole, {.prompt = "a kite", .aspect_ratio = "1:1"}).ok());
  EXPECT_FALSE(sent_whole.service_thread().has_value());
  host::CallOptions interactions;
  interactions.api = host::GeminiApi::interactions;
  const host::ServiceResult refused = gemini.continue_with(
      sent_whole, {.prompt = "make it red", .aspect_ratio = "1:1"}, interactions);
  EXPECT_EQ(refused.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(sent_whole.exchanges(), 1U);
}

TEST_F(BackgroundJobs, SeveralImagesOverResponsesAreThatManyJobsRunAtOnce) {
  start_emulator(0ms);
  emulator_->set_scenario(*emulator::Scenario::parse("job:delay=300"));
  const CorvaneClient images = images_client();
  host::CallReport report;
  host::CallOptions options = quick_polls(&report);
  options.api = host::ImagesApi::responses;
  const host::ServiceResult several =
      images.start({.prompt = "three herons", .aspect_ratio = "1:1", .n = 3}, options);
  ASSERT_TRUE(several.ok()) << several.msg().value_or("");
  EXPECT_EQ(several.images().size(), 3U);
  EXPECT_EQ(report.images.size(), 3U);
  EXPECT_EQ(emulator_->job_submits(), 3U);
  // One job is one image: a submit of several is refused before sending.
  const host::JobSubmission refused = images.submit({.prompt = "two herons", .n = 2});
  EXPECT_EQ(refused.result.code(), ErrorCode::INVALID_PARAMS);
  EXPECT_EQ(emulator_->job_submits(), 3U);
}

}  // namespace
}  // namespace zantrel
