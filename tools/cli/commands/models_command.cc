#include "tools/cli/commands/models_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "tools/cli/core/call_setup.h"
#include "zantrel/host/catalogue_refresh.h"
#include "zantrel/host/config.h"

namespace zantrel::cli {
namespace {

std::string joined(const std::vector<std::string>& values, const char* none = "-") {
  if (values.empty()) return none;
  std::string out;
  for (const std::string& value : values) out += (out.empty() ? "" : " ") + value;
  return out;
}

// What the model takes: Gemini ratios and sizes; images sizes.
std::string takes(const host::ModelInfo& model) {
  if (!model.capabilities_known()) return "unknown (sent unchecked)";
  if (model.service == host::Service::kGemini) {
    return joined(model.aspect_ratios) + " | " + joined(model.image_sizes, "(none sent)");
  }
  return "any ratio | " + joined(model.sizes, "free (multiples of 16)");
}

std::string status(const host::ModelInfo& model, const std::string& today) {
  if (model.shutdown_on) {
    return (model.shut_down_by(today) ? "shut down " : "shuts down ") + *model.shutdown_on +
           ", use " + model.replacement;
  }
  if (model.unlisted_on) return "current, not listed on " + *model.unlisted_on;
  return "current";
}

std::string source(const host::ModelInfo& model) {
  return model.listed_on ? "listed by the service " + *model.listed_on : "built in";
}

// The parameters and any values of its own.
std::string parameters(const host::ModelInfo& model) {
  std::string out = joined(model.parameters);
  for (const auto& [parameter, values] : model.values) {
    out += "; " + parameter + ": " + joined(values);
  }
  return out;
}

// The day the table is read for: the catalogue's own, so that the README's table does not
// change with the day it is checked on.
std::string table_day(const host::ModelCatalogue& catalogue) {
  return catalogue.as_of().empty() ? host::utc_day() : catalogue.as_of();
}

// The sources a refresh asks: each service with a key or an address of the user's own.
std::vector<host::ListingSource> listing_sources(const ModelsOptions& o, std::ostream& notes) {
  std::vector<host::ListingSource> sources;
  for (const host::Service service : {host::Service::kGemini, host::Service::kImages}) {
    const std::optional<ServiceAccess> access =
        service_access_if_any(service, o.base_url, o.api_key);
    if (!access) {
      notes << "zantrel-image: " << host::to_string(service) << ": not asked (no API key)\n";
      continue;
    }
    host::ListingSource source;
    source.service = service;
    source.base_url = access->base_url;
    source.api_key = access->api_key;
    source.dialect = resolve_dialect(o.dialect, service, access->base_url);
    sources.push_back(std::move(source));
  }
  return sources;
}

ExitCode refresh(const ModelsOptions& o) {
  const std::vector<host::ListingSource> sources = listing_sources(o, std::cerr);
  if (sources.empty()) {
    std::cerr << "zantrel-image: no service to ask: pass --api-key or set "
                 "ZANTREL_GEMINI_API_KEY / ZANTREL_IMAGES_API_KEY\n";
    return ExitCode::kUsageError;
  }
  const auto http = make_http_client(o.allow_private_links, o.ca_file, 0);
  const host::RefreshOutcome outcome = host::refresh_model_catalogue(*http, sources);
  for (const std::string& failure : outcome.failures) {
    std::cerr << "zantrel-image: refresh failed: " << failure << "\n";
  }
  if (!outcome.saved) {
    std::cerr << "zantrel-image: the previous catalogue is kept\n";
    return ExitCode::kFailedResult;
  }
  config::set_model_catalogue(outcome.catalogue);
  std::cerr << "refreshed " << host::catalogue_cache_path() << ": " << outcome.changes.size()
            << (outcome.changes.size() == 1 ? " change" : " changes") << "\n";
  return ExitCode::kSuccess;
}

}  // namespace

std::string models_table(const host::ModelCatalogue& catalogue, ModelsFormat format) {
  if (format == ModelsFormat::kJson) return catalogue.to_json().dump(2) + "\n";
  const std::string today = table_day(catalogue);
  std::vector<const host::ModelInfo*> ordered;
  for (bool gone : {false, true}) {
    for (const auto& model : catalogue.models()) {
      if (model.shut_down_by(today) == gone) ordered.push_back(&model);
    }
  }
  std::ostringstream out;
  if (format == ModelsFormat::kMarkdown) {
    out << "| model | service | status | source | aspect ratios | sizes | parameters |\n"
        << "|---|---|---|---|---|---|---|\n";
    for (const auto* model : ordered) {
      out << "| `" << model->name << "` | " << host::to_string(model->service) << " | "
          << status(*model, today) << " | " << source(*model) << " | " << takes(*model) << " | "
          << parameters(*model) << " |\n";
    }
    return out.str();
  }
  for (const auto* model : ordered) {
    out << model->name << "  (" << host::to_string(model->service) << ", " << status(*model, today)
        << ", " << source(*model) << ")\n    takes: " << takes(*model)
        << "\n    parameters: " << parameters(*model) << "\n";
    if (!model->note.empty()) out << "    note: " << model->note << "\n";
  }
  return out.str();
}

ExitCode run_models(const ModelsOptions& o) {
  if (o.refresh) {
    const ExitCode status = refresh(o);
    if (status != ExitCode::kSuccess) return status;
  }
  if (o.diff) {
    const auto cache = host::read_catalogue_cache(host::catalogue_cache_path());
    if (!cache) {
      std::cout << "no refresh yet: the built-in catalogue of "
                << host::ModelCatalogue::builtin().as_of() << " is in use\n";
      return ExitCode::kSuccess;
    }
    std::cout << "refreshed " << cache->refreshed_on << ": "
              << (cache->changes.empty() ? std::string("no changes")
                                         : std::to_string(cache->changes.size()) + " changes")
              << "\n";
    for (const std::string& change : cache->changes) std::cout << "  " << change << "\n";
    return ExitCode::kSuccess;
  }
  std::cout << models_table(*config::model_catalogue(), o.format);
  return ExitCode::kSuccess;
}

void load_catalogue(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the model catalogue " + path);
  try {
    const auto document = nlohmann::json::parse(file);
    config::set_model_catalogue(
        std::make_shared<const host::ModelCatalogue>(host::ModelCatalogue::from_json(document)));
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

Command add_models_command(CLI::App& app) {
  CLI::App& models = *app.add_subcommand(
      "models", "list the models, what they take, which are shut down; refresh from the services");
  struct Flags {
    ModelsOptions options;
    bool json = false;
    bool markdown = false;
  };
  auto flags = std::make_shared<Flags>();
  models.add_flag("--json", flags->json, "the catalogue as JSON (the form --catalogue reads)");
  models.add_flag("--markdown", flags->markdown, "as a Markdown table");
  models.add_flag("--refresh", flags->options.refresh,
                  "ask the services' own model lists (with the keys the generating commands "
                  "use) and merge them into the user's cache, which later runs read");
  models.add_flag("--diff", flags->options.diff, "print what the last refresh changed");
  add_access_flags(models, flags->options, true);
  add_dialect_flag(models, flags->options);
  return {&models,
          [flags] {
            flags->options.format = flags->json       ? ModelsFormat::kJson
                                    : flags->markdown ? ModelsFormat::kMarkdown
                                                      : ModelsFormat::kText;
            return run_models(flags->options);
          },
          [flags] { return flags->options.api_key; }};
}

}  // namespace zantrel::cli
