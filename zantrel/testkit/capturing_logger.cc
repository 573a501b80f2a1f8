#include "zantrel/testkit/capturing_logger.h"

namespace zantrel::testkit {

void CapturingLogger::debug(const nlohmann::ordered_json& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<nlohmann::ordered_json> CapturingLogger::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void CapturingLogger::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace zantrel::testkit
