#include "zantrel/host/log/logger.h"

#include <map>
#include <mutex>

#include "zantrel/host/log/json_lines_logger.h"

namespace zantrel::host {
namespace {

// The process-wide logger registry: a documented piece of shared state, guarded by its mutex.
struct Registry {
  std::mutex mutex;
  LoggerFactory factory;
  std::map<std::string, std::shared_ptr<Logger>, std::less<>> loggers;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

std::shared_ptr<Logger> make_default(std::string_view name) {
  return std::make_shared<JsonLinesLogger>(name);
}

}  // namespace

std::shared_ptr<Logger> get_logger(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto found = r.loggers.find(name); found != r.loggers.end()) return found->second;
  auto made = r.factory ? r.factory(name) : make_default(name);
  r.loggers.emplace(std::string(name), made);
  return made;
}

void set_logger_factory(LoggerFactory factory) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.factory = std::move(factory);
  r.loggers.clear();
}

}  // namespace zantrel::host
