#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace zantrel::host {

// A named logger of the host. The library writes one record map per event, at debug level;
// the first member is "msg". Implementations must be safe to call from several threads.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void debug(const nlohmann::ordered_json& record) = 0;
};

using LoggerFactory = std::function<std::shared_ptr<Logger>(std::string_view name)>;

// The logger registered under `name`, made on first use by the current factory. The registry
// is process-wide and thread-safe; the same name gives the same logger until the factory is
// replaced.
std::shared_ptr<Logger> get_logger(std::string_view name);

// Replaces the factory that makes loggers (a host's own backend) and forgets the loggers made
// so far. Passing an empty function restores the default JSON-lines backend.
void set_logger_factory(LoggerFactory factory);

}  // namespace zantrel::host
