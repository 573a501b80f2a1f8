#include "zantrel/host/log/json_lines_logger.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdlib>

#include <nlohmann/json.hpp>

namespace zantrel::host {
namespace {

spdlog::level::level_enum level_from_environment() {
  const char* value = std::getenv("ZANTREL_LOG_LEVEL");
  if (value == nullptr || *value == '\0') return spdlog::level::info;
  return spdlog::level::from_str(value);
}

}  // namespace

std::string render_record(const nlohmann::ordered_json& record) {
  return record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

JsonLinesLogger::JsonLinesLogger(std::string_view name)
    : backend_(std::make_shared<spdlog::logger>(
          std::string(name), std::make_shared<spdlog::sinks::stderr_sink_mt>())) {
  backend_->set_level(level_from_environment());
  backend_->set_pattern("%v");
}

JsonLinesLogger::JsonLinesLogger(std::shared_ptr<spdlog::logger> backend)
    : backend_(std::move(backend)) {}

void JsonLinesLogger::debug(const nlohmann::ordered_json& record) {
  if (!backend_->should_log(spdlog::level::debug)) return;
  backend_->debug(render_record(record));
}

}  // namespace zantrel::host
