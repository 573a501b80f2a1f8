#pragma once

#include "tools/emulator/answer_context.h"
#include "tools/emulator/scenario.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zantrel::emulator {

// A generations (or, `edits`, an edits) request answered as the images API answers it under
// `scenario`: its checks, faults, images or stream.
void answer_images(const AnswerContext& context, const httplib::Request& req,
                   httplib::Response& res, const Scenario& scenario, bool edits);

}  // namespace zantrel::emulator
