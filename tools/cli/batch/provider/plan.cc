#include "tools/cli/batch/provider/plan.h"

namespace zantrel::cli {

BatchCuts cut_into_batches(std::vector<host::BatchLine> lines, std::size_t max_requests,
                           std::size_t max_bytes) {
  BatchCuts cuts;
  std::vector<host::BatchLine> batch;
  std::size_t bytes = 0;
  for (host::BatchLine& line : lines) {
    const std::size_t size = line.request.body.size() + kLineOverhead;
    if (size > max_bytes) {
      cuts.too_large.push_back(line.key);
      continue;
    }
    if (!batch.empty() && (batch.size() == max_requests || bytes + size > max_bytes)) {
      cuts.batches.push_back(std::move(batch));
      batch.clear();
      bytes = 0;
    }
    batch.push_back(std::move(line));
    bytes += size;
  }
  if (!batch.empty()) cuts.batches.push_back(std::move(batch));
  return cuts;
}

}  // namespace zantrel::cli
