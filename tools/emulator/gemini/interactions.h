#pragma once

#include <cstdint>
#include <string>

#include "tools/emulator/answer_context.h"
#include "tools/emulator/batch_engine.h"
#include "tools/emulator/job_store.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zantrel::emulator {

// Gemini's Interactions API:
//   POST /v1beta/interactions                 answered whole, or with "background": a job
//   GET  /v1beta/interactions/{id}            the interaction as it is now
//   POST /v1beta/interactions/{id}/cancel
// A create is answered as the same request to generateContent would be (its checks, faults and
// picture), read into an Interaction: "steps" of model output (thoughts apart), "usage", and
// "previous_interaction_id" continuing the turns the service kept.
class GeminiInteractions {
 public:
  explicit GeminiInteractions(AnswerRequest answer) : answer_(std::move(answer)) {}

  void create(const AnswerContext& context, const httplib::Request& req, httplib::Response& res,
              const Scenario& scenario);
  void get(const std::string& id, httplib::Response& res);
  void cancel(const std::string& id, httplib::Response& res);
  std::uint64_t submits() const { return jobs_.submits(); }

 private:
  AnswerRequest answer_;
  JobStore jobs_{"v1_int_"};
};

}  // namespace zantrel::emulator
