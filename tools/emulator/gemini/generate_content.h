#pragma once

#include <string>

#include "tools/emulator/answer_context.h"
#include "tools/emulator/scenario.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zantrel::emulator {

// A generateContent request answered as the service answers it under `scenario` (`method`
// "streamGenerateContent" for the streamed form): its checks, faults, image or stream.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the model, then the method
void answer_generate_content(const AnswerContext& context, const httplib::Request& req,
                             httplib::Response& res, const Scenario& scenario,
                             const std::string& model, const std::string& method);

}  // namespace zantrel::emulator
