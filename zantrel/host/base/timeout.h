#pragma once

#include <chrono>
#include <cmath>

namespace zantrel::host {

// The longest wait the system keeps as given: 24 days, which every timer below takes (a 32-bit
// count of milliseconds). A longer one, infinity included, means "no limit" and is held to it.
inline constexpr std::chrono::milliseconds kLongestWait{std::chrono::hours(24 * 24)};

// Decimal seconds as milliseconds within [0, kLongestWait]; NaN and negative values give 0.
// Callers that take such values from users refuse NaN and negative ones first.
inline std::chrono::milliseconds millis_of_seconds(double seconds) noexcept {
  if (!(seconds > 0)) return std::chrono::milliseconds(0);
  const double longest = static_cast<double>(kLongestWait.count());
  const double millis = seconds * 1000.0;
  return millis >= longest ? kLongestWait : std::chrono::milliseconds(std::llround(millis));
}

// Time-out of one HTTP exchange. `read` is the longest wait for the next byte once connected
// (not a deadline for the whole exchange); `connect` bounds establishing the connection.
struct Timeout {
  std::chrono::milliseconds connect{0};
  std::chrono::milliseconds read{0};

  // A zero time-out means "not given": callers fall back to the client's base time-out.
  bool empty() const noexcept { return connect.count() == 0 && read.count() == 0; }

  // A time-out from decimal seconds (rounded to milliseconds, held as millis_of_seconds holds
  // them: a huge or infinite one waits as long as any).
  static Timeout from_seconds(double connect_seconds, double read_seconds) noexcept {
    return {millis_of_seconds(connect_seconds), millis_of_seconds(read_seconds)};
  }
  friend bool operator==(const Timeout&, const Timeout&) = default;
};

}  // namespace zantrel::host
