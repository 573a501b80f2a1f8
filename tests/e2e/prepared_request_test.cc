// A request prepared without sending, posted by the host itself, and its answer read back by
// result_of: the same result as the client's own call for the same answer, over the emulator's
// scenarios and both services (generations, and edits in their JSON form).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/emulator/emulator.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel {
namespace {

using json = nlohmann::ordered_json;

struct Outcome {
  bool ok;
  std::optional<host::ErrorCode> code;
  std::string msg;
  host::Bytes bytes;
  std::optional<int> status;
};

Outcome outcome_of(const host::ServiceResult& result, const host::CallReport& report) {
  return {result.ok(), result.code(), result.msg().value_or(""),
          result.bytes() ? *result.bytes() : host::Bytes{}, report.http_status};
}

TEST(PreparedRequests, AnAnswerObtainedElsewhereGivesTheCallsOwnResult) {
  emulator::Emulator emulator;
  emulator.start();
  const std::string base = emulator.base_url();
  const image::tavelin::TavelinaClient gemini(base, "k");
  const image::corvane::CorvaneClient images(base, "k");
  const host::Bytes reference = emulator::render_png(3, 64, 64);
  host::CurlHttpClient http;
  // Posts a prepared request as a host's own queue would, under `scenario`.
  const auto post = [&](const host::PreparedRequest& prepared, const std::string& scenario) {
    host::PostRequest request;
    request.headers = {{"Authorization", "Bearer k"},
                       {"Content-Type", prepared.content_type},
                       {"X-Zantrel-Scenario", scenario}};
    request.body = host::JsonBody{prepared.body};
    return http.post(base + prepared.path, request);
  };
  const image::tavelin::GenerationRequest gemini_request{.prompt = "a fox", .aspect_ratio = "1:1"};
  const image::corvane::ImageRequest generation{.prompt = "a fox", .aspect_ratio = "1:1"};
  const image::corvane::ImageRequest edit{.prompt = "the same at night",
                                          .files = std::vector<host::Reference>{reference}};
  for (const char* scenario : {"normal", "busy", "status:500", "not-json", "truncated-json",
                               "finish:IMAGE_SAFETY", "no-image", "bad-base64", "file-link"}) {
    emulator.set_scenario(*emulator::Scenario::parse(scenario));
    for (int which = 0; which < 3; ++which) {
      const std::string name = std::string(scenario) + (which == 0   ? " gemini"
                                                        : which == 1 ? " generation"
                                                                     : " edit");
      host::CallReport direct_report, read_report;
      host::CallOptions direct_options, read_options;
      direct_options.report = &direct_report;
      read_options.report = &read_report;
      host::ServiceResult direct = host::ServiceResult::fail(host::ErrorCode::SERVICE_BUSY);
      host::ServiceResult read = direct;
      if (which == 0) {
        direct = gemini.start(gemini_request, direct_options);
        const auto answer = post(gemini.prepare(gemini_request), scenario);
        read = gemini.result_of(gemini_request, answer.status_code, answer.body, read_options);
      } else {
        const auto& request = which == 1 ? generation : edit;
        direct = images.start(request, direct_options);
        const auto prepared = images.prepare(request);
        EXPECT_EQ(prepared.path, which == 1 ? "/v1/images/generations" : "/v1/images/edits");
        const auto answer = post(prepared, scenario);
        read = images.result_of(request, answer.status_code, answer.body, read_options);
      }
      const Outcome a = outcome_of(direct, direct_report), b = outcome_of(read, read_report);
      EXPECT_EQ(a.ok, b.ok) << name << ": " << a.msg << " / " << b.msg;
      EXPECT_EQ(a.code, b.code) << name;
      EXPECT_EQ(a.msg, b.msg) << name;
      EXPECT_EQ(a.bytes, b.bytes) << name;
      EXPECT_EQ(a.status, b.status) << name;
      EXPECT_EQ(direct_report.usage.output_tokens, read_report.usage.output_tokens) << name;
    }
  }
  // A request start would refuse is refused the same way, before anything is made.
  try {
    (void)gemini.prepare({.prompt = "x", .aspect_ratio = "5:4", .model = "no-such-model"});
    ADD_FAILURE() << "prepared";
  } catch (const host::InvalidArgument& e) {
    EXPECT_STREQ(e.what(), "Invalid model: no-such-model");
  }
  EXPECT_THROW((void)images.prepare({.prompt = "x", .n = 11}), host::InvalidArgument);
}

}  // namespace
}  // namespace zantrel
