#pragma once

// Flags several commands take, registered the same way wherever they appear. Included only by
// the files that register commands (they need CLI11 anyway).

#include <CLI/CLI.hpp>

#include "tools/cli/commands/command.h"

namespace zantrel::cli {

// How a command reaches the services. `both`: one address and key for both services (else each
// one's environment).
template <class Options>
void add_access_flags(CLI::App& command, Options& o, bool both) {
  command.add_option("--base-url", o.base_url,
                     both ? "both services' address (else each one's environment, else public)"
                          : "service address (else the environment, else the public one)");
  command.add_option("--api-key", o.api_key,
                     both ? "both services' key (else each one's environment; never echoed)"
                          : "API key (else the environment; never echoed)");
  command.add_flag("--allow-private-links", o.allow_private_links,
                   "let the services' address and links reach this machine or private networks "
                   "(needed with the emulator)");
  command.add_option("--ca-file", o.ca_file, "CA bundle to trust for https (PEM)");
}

template <class Options>
void add_dialect_flag(CLI::App& command, Options& o) {
  command
      .add_option("--dialect", o.dialect,
                  "wire form: auto (default: direct for the public address, else gateway), "
                  "gateway or direct")
      ->check(CLI::IsMember({"auto", "gateway", "direct"}));
}

template <class Options>
void add_preview_flag(CLI::App& command, Options& o) {
  command
      .add_flag("--preview{auto}", o.preview,
                "draw a small picture of each image below its line: --preview forces it, "
                "--preview=kitty or =sixel names the terminal's protocol, =off leaves it out "
                "(default: where the terminal is known to draw pictures)")
      ->check(CLI::IsMember({"auto", "kitty", "sixel", "off"}));
}

// --log and --catalogue after the command's name, as before it.
inline void add_shared_flags(CLI::App& command, SharedFlags& shared) {
  command.add_option("--log", shared.log_target, "as above");
  command.add_option("--catalogue", shared.catalogue_path, "as above");
}

// The key given to a command, for the guard that keeps it out of what the run prints.
template <class Options>
auto given_key_of(const std::shared_ptr<Options>& o) {
  return [o] { return o->api_key; };
}

}  // namespace zantrel::cli
