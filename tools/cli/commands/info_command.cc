#include "tools/cli/commands/info_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/flags.h"

#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include "tools/cli/core/exit_code.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/references.h"
#include "zantrel/version.h"

namespace zantrel::cli {

using json = nlohmann::ordered_json;

ExitCode run_info(const std::string& path) {
  host::Bytes image;
  try {
    image = host::read_file_bytes(path);
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kUsageError;
  }
  const auto metadata = host::read_metadata(image);
  if (!metadata) {
    std::cout << terminal_text(path) << ": no zantrel metadata\n";
    return ExitCode::kFailedResult;
  }
  // The image's text is anyone's: printed so that it can't drive the terminal.
  std::cout << terminal_text(metadata->parameters) << "\n";
  const json facts = json::parse(metadata->json, nullptr, false);
  std::cout << terminal_text(facts.is_discarded()
                                 ? metadata->json
                                 : facts.dump(2, ' ', false, json::error_handler_t::replace))
            << "\n";
  return ExitCode::kSuccess;
}

Command add_info_command(CLI::App& app) {
  CLI::App& info =
      *app.add_subcommand("info", "print the prompt, model and parameters an image carries");
  auto path = std::make_shared<std::string>();
  info.add_option("file", *path, "an image zantrel-image wrote")->required();
  return {&info, [path] { return run_info(*path); }};
}

}  // namespace zantrel::cli
