#pragma once

#include <chrono>
#include <optional>
#include <stop_token>

namespace zantrel::host {

using Deadline = std::chrono::steady_clock::time_point;

// What may end a call early besides its own time-outs: a stop request by the caller and a
// deadline for the whole call. Carried by every request of the call, so that a transfer in
// progress ends as soon as either happens.
struct CallLimits {
  std::stop_token stop{};
  std::optional<Deadline> deadline{};

  bool stop_requested() const noexcept { return stop.stop_requested(); }
  bool past_deadline(Deadline now) const noexcept { return deadline && now >= *deadline; }
  // Throws Cancelled or DeadlineExceeded when the call must not go on.
  void check() const;
};

}  // namespace zantrel::host
