#include "tools/cli/batch/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "tools/cli/output/image_output.h"

namespace zantrel::cli {
namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string size_text(std::uint64_t bytes) {
  if (bytes < 1'000'000) return format("%.1f kB", static_cast<double>(bytes) / 1e3);
  return format("%.1f MB", static_cast<double>(bytes) / 1e6);
}

double percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, at == 0 ? 0 : at - 1)];
}

}  // namespace

double total_cost(const BatchTally& tally) {
  double total = 0;
  for (const auto& [service, usd] : tally.cost_usd) total += usd;
  return total;
}

std::string duration_text(double seconds) {
  const long whole = std::max(0L, std::lround(seconds));
  if (whole < 60) return std::to_string(whole) + "s";
  if (whole < 3600) return std::to_string(whole / 60) + "m " + std::to_string(whole % 60) + "s";
  return std::to_string(whole / 3600) + "h " + std::to_string(whole / 60 % 60) + "m";
}

std::string progress_line(const BatchTally& tally) {
  const int done = tally.ok + tally.failed;
  const double minutes = seconds_since(tally.started) / 60.0;
  const double rate = minutes > 0 ? tally.ok / minutes : 0;
  std::string line = "[" + std::to_string(done) + "/" + std::to_string(tally.total) + "] ok " +
                     std::to_string(tally.ok) + " failed " + std::to_string(tally.failed) +
                     " | in flight " + std::to_string(tally.in_flight) + " | " +
                     format("%.1f", rate) + " images/min";
  if (done > 0 && done < tally.total) {
    const double per_image = seconds_since(tally.started) / done;
    line += " | ETA " + duration_text(per_image * (tally.total - done));
  }
  line += " | " + size_text(tally.bytes);
  if (!tally.cost_usd.empty()) line += " | " + dollars(total_cost(tally));
  return line;
}

std::string summary_table(const BatchTally& tally, const std::string& results_path) {
  std::string text = "outcome                                   images\n";
  for (const auto& [outcome, count] : tally.outcomes) {
    char row[128];
    std::snprintf(row, sizeof row, "%-40s %7d\n", outcome.c_str(), count);
    text += row;
  }
  if (tally.skipped > 0)
    text += "finished by an earlier run: " + std::to_string(tally.skipped) + "\n";
  if (tally.left > 0) {
    text += "left by provider batches (--via direct --resume makes them): " +
            std::to_string(tally.left) + "\n";
  }
  if (tally.unsubmitted > 0) {
    text += "not sent, the estimated cost having reached --max-cost: " +
            std::to_string(tally.unsubmitted) + "\n";
  }
  if (tally.refused_lines > 0) {
    text += "refused lines: " + std::to_string(tally.refused_lines) + "\n";
  }
  text += "tokens:";
  if (tally.tokens.empty()) text += " none reported";
  for (const auto& [service, count] : tally.tokens) {
    text += " " + service + " " + std::to_string(count);
  }
  text += "\ncost (estimated";
  if (!tally.prices_as_of.empty()) text += ", prices of " + tally.prices_as_of;
  text += "):";
  if (tally.cost_usd.empty()) text += " none priced";
  for (const auto& [service, usd] : tally.cost_usd) text += " " + service + " " + dollars(usd);
  if (tally.cost_usd.size() > 1) text += ", total " + dollars(total_cost(tally));
  if (tally.unpriced > 0) {
    text += "; " + std::to_string(tally.unpriced) + " answers without a price";
  }
  text += "\nwall " + duration_text(seconds_since(tally.started)) + ", " + size_text(tally.bytes) +
          "; call time p50 " + format("%.2f s", percentile(tally.call_seconds, 0.5)) + ", p90 " +
          format("%.2f s", percentile(tally.call_seconds, 0.9)) + "\n";
  text += "backed off on 429: " + std::to_string(tally.backoffs) + " times\n";
  text += "results: " + results_path + "\n";
  return text;
}

}  // namespace zantrel::cli
