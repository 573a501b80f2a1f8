#include "zantrel/host/batches/batch_types.h"

namespace zantrel::host {

CreateFate create_fate(std::optional<int> status_code, bool names_batch) noexcept {
  if (!status_code) return CreateFate::kUnknown;
  const int status = *status_code;
  // A busy or failing service may have made the batch before it said so.
  if (status == 429 || status >= 500) return CreateFate::kUnknown;
  if (status >= 200 && status < 300) return names_batch ? CreateFate::kMade : CreateFate::kUnknown;
  return CreateFate::kRefused;
}

}  // namespace zantrel::host
