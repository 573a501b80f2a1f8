#include "zantrel/host/base/call_limits.h"

#include "zantrel/host/result/errors.h"

namespace zantrel::host {

void CallLimits::check() const {
  if (stop_requested()) throw Cancelled("the call was cancelled");
  if (past_deadline(std::chrono::steady_clock::now())) {
    throw DeadlineExceeded("the call's deadline passed");
  }
}

}  // namespace zantrel::host
