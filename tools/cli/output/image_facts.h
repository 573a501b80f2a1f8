#pragma once

#include <string>

#include "tools/cli/core/call_setup.h"
#include "tools/cli/core/exit_code.h"
#include "zantrel/host/images/image_metadata.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::cli {

// What every image the CLI writes says of itself: the prompt, the service and the model sent,
// the parameters asked, the request id, the time and this tool's version. `parameters` is the
// text a person reads; `json` carries the same facts and the text.
host::ImageMetadata image_facts(const GenerateOptions& call, const host::CallReport& report);

}  // namespace zantrel::cli
