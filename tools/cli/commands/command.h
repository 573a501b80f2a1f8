#pragma once

#include <functional>
#include <optional>
#include <string>

#include "tools/cli/core/exit_code.h"
#include "zantrel/host/models/model_catalogue.h"

namespace CLI {
class App;
}

namespace zantrel::cli {

// What every command may take beside its own flags: where debug records go and which model
// catalogue to use (else the user's cache over the built-in one).
struct SharedFlags {
  std::string log_target;
  std::string catalogue_path;
};

// A subcommand as it registered itself: its flags' values live in what `run` holds.
struct Command {
  CLI::App* app = nullptr;
  std::function<ExitCode()> run;
  // The key given on its command line, if any: kept out of everything the run prints.
  std::function<std::optional<std::string>()> given_key = [] { return std::nullopt; };
};

// Each command's own flags, registered on `app`; `shared` receives --log and --catalogue where
// the command takes them after its name too.
Command add_generate_command(CLI::App& app, host::Service service, SharedFlags& shared);
Command add_chat_command(CLI::App& app, SharedFlags& shared);
Command add_batch_command(CLI::App& app, SharedFlags& shared);
Command add_batch_status_command(CLI::App& app);
Command add_batch_cancel_command(CLI::App& app);
Command add_info_command(CLI::App& app);
Command add_gallery_command(CLI::App& app);
Command add_models_command(CLI::App& app);
Command add_demo_command(CLI::App& app);
Command add_jobs_command(CLI::App& app);

}  // namespace zantrel::cli
