#pragma once

#include <string>

namespace zantrel::cli {

// Sends every debug record of every logger to `target` as JSON lines ("-" = standard error).
// Throws std::runtime_error when the file can't be opened.
void log_records_to(const std::string& target);

}  // namespace zantrel::cli
