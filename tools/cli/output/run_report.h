#pragma once

// How a run of the gemini and images commands ends: each image written where it goes and told
// (a line, or a JSON object), each failure told once.

#include <vector>

#include "tools/cli/core/call_setup.h"
#include "zantrel/host/base/dialect.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::cli {

// The calls of one run and what they gave: all in flight at once on one event thread (the
// images API makes all the images of a run in one request). Under --max-cost the first call goes
// alone and the rest as far as its price allows; `results` then holds fewer than `reports`.
struct Calls {
  std::vector<host::CallReport> reports;
  std::vector<host::ServiceResult> results;
};

// Writes each image the calls gave and reports each (a failure or a link once); false when any
// call failed or an image could not be written where it was to go.
bool report_images(const GenerateOptions& o, host::Dialect dialect, const Calls& calls);

}  // namespace zantrel::cli
