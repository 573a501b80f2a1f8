#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace zantrel::emulator {

// How the emulator's batch engines treat the batches created while the scenario
// "batch:OPTIONS" holds, OPTIONS joined by '+': "delay=MS" (the time a batch takes, default
// 2000), "fail-every=K" (every K-th request of a batch gets a 500), "expire=N" / "fail=N" (the
// N-th batch created expires / fails), "lost-create=N" (the N-th create is made but its answer
// is cut off), "create-wait=MS" (each create is made, then answered MS later), "cut-results"
// (each results file's first download stops halfway), "small" (answers carry the small 64 x 36
// picture of "small-delay:0").
struct BatchPlan {
  std::chrono::milliseconds delay{2000};
  int fail_every = 0;
  int expire_nth = 0;
  int fail_nth = 0;
  int lost_create_nth = 0;
  std::chrono::milliseconds create_wait{0};
  bool cut_results = false;
  bool small_pictures = false;

  // Nothing when an option is unknown or its value is not a whole number from 0.
  static std::optional<BatchPlan> parse(std::string_view options);
};

}  // namespace zantrel::emulator
