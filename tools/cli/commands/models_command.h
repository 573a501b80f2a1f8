#pragma once

#include <optional>
#include <string>

#include "tools/cli/core/exit_code.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::cli {

enum class ModelsFormat { kText, kMarkdown, kJson };

// What `zantrel-image models` was asked.
struct ModelsOptions {
  ModelsFormat format = ModelsFormat::kText;
  // Ask the services' own lists first and merge them into the user's cache.
  bool refresh = false;
  // Print what the (last) refresh changed instead of the table.
  bool diff = false;
  // Where and how to ask, as for the generating commands (flags, else the environment).
  std::optional<std::string> base_url;
  std::optional<std::string> api_key;
  std::string dialect = "auto";
  bool allow_private_links = false;
  std::optional<std::string> ca_file;
};

// The catalogue as a table: current models first, then those shut down with their
// replacements, each with its source (built in, or listed by a service on a day).
std::string models_table(const host::ModelCatalogue& catalogue, ModelsFormat format);

// Prints the process's catalogue (after a refresh when asked); 0, or 1 when a refresh failed
// (the previous catalogue kept, the reason on stderr).
ExitCode run_models(const ModelsOptions& options);

// Replaces the process's catalogue with the JSON document at `path` (the form `--json` prints).
// Throws std::runtime_error naming the file and the fault.
void load_catalogue(const std::string& path);

}  // namespace zantrel::cli
