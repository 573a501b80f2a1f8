// zantrel-emulator: a local stand-in for both image services, on 127.0.0.1 only.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "tools/emulator/emulator.h"

namespace {

zantrel::emulator::Emulator* running = nullptr;

extern "C" void on_signal(int) {
  // Stopping only flips flags and shuts the listening socket down; safe enough for a tool.
  if (running != nullptr) running->stop();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "zantrel-emulator: local stand-in for the Gemini and images services (127.0.0.1 only)"};
  zantrel::emulator::EmulatorOptions options;
  std::string scenario = "normal";
  bool list = false;
  app.add_option("--port", options.port, "port on 127.0.0.1 (default: a free one)");
  app.add_option("--api-key", options.api_key, "bearer token requests must carry (default: any)");
  app.add_option("--scenario", scenario,
                 "how to answer: NAME or NAME:PARAM (see --list-scenarios)");
  app.add_option("--threads", options.threads, "worker threads (default 64)");
  app.add_flag("--list-scenarios", list, "print the scenarios and exit");
  CLI11_PARSE(app, argc, argv);

  if (list) {
    for (const auto& info : zantrel::emulator::scenario_catalogue()) {
      std::string name = info.name;
      if (*info.param != '\0') name += std::string(":") + info.param;
      std::printf("%-24s %s\n", name.c_str(), info.effect);
    }
    return 0;
  }
  const auto chosen = zantrel::emulator::Scenario::parse(scenario);
  if (!chosen) {
    std::cerr << "unknown scenario: " << scenario << " (see --list-scenarios)\n";
    return 2;
  }
  options.scenario = *chosen;
  try {
    zantrel::emulator::Emulator emulator(options);
    emulator.bind();
    std::printf("listening on %s\n", emulator.base_url().c_str());
    std::fflush(stdout);
    running = &emulator;
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    emulator.listen();
    running = nullptr;
  } catch (const std::exception& e) {
    std::cerr << "zantrel-emulator: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
