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

// The images side's Responses API, with its image_generation tool:
//   POST /v1/responses                 answered whole, or with "background": a job
//   GET  /v1/responses/{id}            the response as it is now
//   POST /v1/responses/{id}/cancel
// A create is answered as the same request to the images API would be (the tool's model and
// members; input images make it an edit, "previous_response_id" edits the image answered
// before), read into a response whose "output" holds one image_generation_call.
class ImagesResponses {
 public:
  explicit ImagesResponses(AnswerRequest answer) : answer_(std::move(answer)) {}

  void create(const AnswerContext& context, const httplib::Request& req, httplib::Response& res,
              const Scenario& scenario);
  void get(const std::string& id, httplib::Response& res);
  void cancel(const std::string& id, httplib::Response& res);
  std::uint64_t submits() const { return jobs_.submits(); }

 private:
  AnswerRequest answer_;
  JobStore jobs_{"resp_"};
};

}  // namespace zantrel::emulator
