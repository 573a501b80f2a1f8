// zantrel-image: generate an image with either service from the command line. Each command
// registers its own flags; this file parses, guards the keys and dispatches.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/commands/command.h"
#include "tools/cli/commands/models_command.h"
#include "tools/cli/core/log_setup.h"
#include "tools/cli/core/secret_guard.h"
#include "zantrel/host/catalogue_refresh.h"

int main(int argc, char** argv) {
  using namespace zantrel::cli;  // NOLINT(google-build-using-namespace): the program's own
  CLI::App app{"zantrel-image: generate an image with the Gemini or the images service"};
  app.require_subcommand(1);
  SharedFlags shared;
  app.add_option("--log", shared.log_target,
                 "write every debug record as one JSON line to FILE (- = stderr)");
  app.add_option("--catalogue", shared.catalogue_path,
                 "model catalogue to use instead of the built-in one (JSON, as `models --json`)");
  const std::vector<Command> commands{
      add_generate_command(app, zantrel::host::Service::kGemini, shared),
      add_generate_command(app, zantrel::host::Service::kImages, shared),
      add_demo_command(app),
      add_batch_command(app, shared),
      add_batch_status_command(app),
      add_batch_cancel_command(app),
      add_chat_command(app, shared),
      add_info_command(app),
      add_gallery_command(app),
      add_models_command(app),
      add_jobs_command(app),
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : static_cast<int>(ExitCode::kUsageError);
  }
  // From here on no key reaches the terminal, whoever echoes it.
  std::vector<std::string> given_keys;
  for (const Command& command : commands) {
    if (auto key = command.given_key()) given_keys.push_back(std::move(*key));
  }
  const SecretGuard guard(run_secrets(given_keys));
  try {
    if (!shared.log_target.empty()) log_records_to(shared.log_target);
    if (!shared.catalogue_path.empty()) {
      load_catalogue(shared.catalogue_path);
    } else if (auto why = zantrel::config::use_cached_model_catalogue()) {
      std::cerr << "zantrel-image: " << *why << "; the built-in catalogue is used\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return static_cast<int>(ExitCode::kUsageError);
  }
  for (const Command& command : commands) {
    if (command.app->parsed()) return static_cast<int>(command.run());
  }
  return static_cast<int>(ExitCode::kUsageError);
}
