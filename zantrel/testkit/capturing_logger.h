#pragma once

#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/log/logger.h"

namespace zantrel::testkit {

// Keeps every record it is given, in order; for tests and for hosts that inspect records.
class CapturingLogger final : public host::Logger {
 public:
  void debug(const nlohmann::ordered_json& record) override;
  std::vector<nlohmann::ordered_json> records() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::ordered_json> records_;
};

}  // namespace zantrel::testkit
