#include "tools/cli/core/log_setup.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

#include "zantrel/host/log/json_lines_logger.h"

namespace zantrel::cli {

void log_records_to(const std::string& target) {
  spdlog::sink_ptr sink;
  try {
    if (target == "-") {
      sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    } else {
      sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(target, false);
    }
  } catch (const spdlog::spdlog_ex& e) {
    throw std::runtime_error("cannot open the log file " + target + ": " + e.what());
  }
  host::set_logger_factory([sink](std::string_view name) -> std::shared_ptr<host::Logger> {
    auto backend = std::make_shared<spdlog::logger>(std::string(name), sink);
    backend->set_level(spdlog::level::debug);
    backend->set_pattern("%v");
    backend->flush_on(spdlog::level::debug);
    return std::make_shared<host::JsonLinesLogger>(backend);
  });
}

}  // namespace zantrel::cli
