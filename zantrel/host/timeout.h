#pragma once

#include <chrono>
#include <cmath>

namespace zantrel::host {

// Time-out of one HTTP exchange. `read` is the longest wait for the next byte once connected
// (not a deadline for the whole exchange); `connect` bounds establishing the connection.
struct Timeout {
  std::chrono::milliseconds connect{0};
  std::chrono::milliseconds read{0};

  // A zero time-out means "not given": callers fall back to the client's base time-out.
  bool empty() const noexcept { return connect.count() == 0 && read.count() == 0; }

  // A time-out from decimal seconds (rounded to milliseconds).
  static Timeout from_seconds(double connect_seconds, double read_seconds) noexcept {
    return {std::chrono::milliseconds(std::llround(connect_seconds * 1000.0)),
            std::chrono::milliseconds(std::llround(read_seconds * 1000.0))};
  }
  friend bool operator==(const Timeout&, const Timeout&) = default;
};

}  // namespace zantrel::host
