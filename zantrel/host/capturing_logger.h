#pragma once

#include <mutex>
#include <vector>

#include "zantrel/host/logger.h"

namespace zantrel::host {

// Keeps every record it is given, in order; for tests and for hosts that inspect records.
class CapturingLogger final : public Logger {
 public:
  void debug(const nlohmann::ordered_json& record) override;
  std::vector<nlohmann::ordered_json> records() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::ordered_json> records_;
};

}  // namespace zantrel::host
