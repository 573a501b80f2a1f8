#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zantrel/host/batches/batch_types.h"

namespace zantrel::cli {

// What a line adds to its request's body in a batch's input (key, wrapping).
inline constexpr std::size_t kLineOverhead = 128;

// A run's lines of one service and one path cut into batches, in order, each within
// `max_requests` lines and `max_bytes` of input; the keys of lines larger than a batch may hold
// are given apart.
struct BatchCuts {
  std::vector<std::vector<host::BatchLine>> batches;
  std::vector<std::string> too_large;
};
BatchCuts cut_into_batches(std::vector<host::BatchLine> lines, std::size_t max_requests,
                           std::size_t max_bytes);

}  // namespace zantrel::cli
