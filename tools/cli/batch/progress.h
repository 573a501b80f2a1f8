#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zantrel::cli {

// What a batch run has done so far, for its progress line and its closing summary.
struct BatchTally {
  int total = 0;  // images to make in this run
  int ok = 0;
  int failed = 0;
  int in_flight = 0;
  int refused_lines = 0;
  int skipped = 0;      // finished by an earlier run
  int left = 0;         // left by provider batches that ended without them
  int unsubmitted = 0;  // left because the estimated cost reached --max-cost
  int backoffs = 0;     // times a 429 halved the concurrency
  std::uint64_t bytes = 0;
  std::map<std::string, int> outcomes;         // "ok", or code (+ failure kind)
  std::map<std::string, std::int64_t> tokens;  // per service
  std::map<std::string, double> cost_usd;      // estimated, per service
  std::map<std::string, int> priced;           // answers in cost_usd, per service
  std::string prices_as_of;                    // of the prices the estimates used
  int unpriced = 0;                            // answers no price could be put on
  std::vector<double> call_seconds;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The estimated cost of every image recorded so far.
double total_cost(const BatchTally& tally);

// "42s", "4m 32s", "3h 5m".
std::string duration_text(double seconds);

// "[12/200] ok 11 failed 1 | in flight 8 | 41.3 images/min | ETA 4m 32s | 13.2 MB".
std::string progress_line(const BatchTally& tally);

// The table printed at the end: outcomes by code, tokens and estimated cost per service, wall time,
// p50/p90 call time, back-offs and where the results are.
std::string summary_table(const BatchTally& tally, const std::string& results_path);

}  // namespace zantrel::cli
