#pragma once

#include <string>

#include "zantrel/host/model_catalogue.h"

namespace zantrel::cli {

enum class ModelsFormat { kText, kMarkdown, kJson };

// The catalogue as a table: current models first, then the retired ones with their
// replacements.
std::string models_table(const host::ModelCatalogue& catalogue, ModelsFormat format);

// Prints the process's catalogue; 0.
int run_models(ModelsFormat format);

// Replaces the process's catalogue with the JSON document at `path` (the form `--json` prints).
// Throws std::runtime_error naming the file and the fault.
void load_catalogue(const std::string& path);

}  // namespace zantrel::cli
