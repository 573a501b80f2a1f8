#pragma once

#include <chrono>

namespace zantrel::host {

// When a call may send its request again. Off by default: one request per call.
//
// Only what cannot have run twice is retried: a request that never reached the service
// complete (refused connection, connect time-out) and answers 429 and 503. A request that went
// out whole but got no answer (read time-out, reset while waiting) may have been run, and
// billed, by the service; it is retried only with `retry_no_answer`. The pause before an
// attempt is at least the service's retry hint, else an exponential back-off from `base_delay`
// (capped at `max_delay`) with random jitter; no attempt starts when its pause would end past
// the call's deadline.
struct RetryPolicy {
  int max_attempts = 1;  // requests at most, the first included
  std::chrono::milliseconds base_delay{500};
  std::chrono::milliseconds max_delay{30000};
  bool retry_no_answer = false;
};

}  // namespace zantrel::host
