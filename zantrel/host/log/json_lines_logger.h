#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "zantrel/host/log/logger.h"

namespace spdlog {
class logger;
}

namespace zantrel::host {

// Default backend: each record becomes one JSON line on standard error through spdlog, shown
// when the level (environment variable ZANTREL_LOG_LEVEL: trace, debug, info, warn, error,
// off; default info) lets debug through.
class JsonLinesLogger final : public Logger {
 public:
  explicit JsonLinesLogger(std::string_view name);
  // Writes through an existing spdlog logger (for example one with a file sink).
  explicit JsonLinesLogger(std::shared_ptr<spdlog::logger> backend);
  void debug(const nlohmann::ordered_json& record) override;

 private:
  std::shared_ptr<spdlog::logger> backend_;
};

// Renders a record as one line of JSON text; never throws on invalid UTF-8 in its texts.
std::string render_record(const nlohmann::ordered_json& record);

}  // namespace zantrel::host
