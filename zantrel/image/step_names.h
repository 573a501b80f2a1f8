#pragma once

// The names both clients' steps are written in: the call machinery's, and the result's.

#include <chrono>

#include "zantrel/host/call/call_steps.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::image {

using host::ErrorCode;
using host::ServiceResult;
using host::internal::Entry;
using host::internal::Exchange;
using host::internal::ReportBuilder;
using host::internal::Task;
using Clock = std::chrono::steady_clock;

}  // namespace zantrel::image
