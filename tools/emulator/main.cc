// zantrel-emulator: a local stand-in for both image services, on 127.0.0.1 only.
#include <CLI/CLI.hpp>

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "tools/emulator/emulator.h"

int main(int argc, char** argv) {
  CLI::App app{
      "zantrel-emulator: local stand-in for the Gemini and images services (127.0.0.1 only)"};
  zantrel::emulator::EmulatorOptions options;
  std::string scenario = "normal";
  std::string dialect = "both";
  bool list = false;
  app.add_option("--port", options.port, "port on 127.0.0.1 (default: a free one)");
  app.add_option("--api-key", options.api_key, "bearer token requests must carry (default: any)");
  app.add_option("--scenario", scenario,
                 "how to answer: NAME or NAME:PARAM (see --list-scenarios)");
  std::string mix;
  app.add_option("--scenario-mix", mix,
                 "draw each request's scenario by weight: NAME[:PARAM]:WEIGHT,... "
                 "(e.g. normal:8,busy:1,delay:1500:1)");
  app.add_option("--seed", options.seed, "seed of --scenario-mix draws (default 1)");
  app.add_option("--threads", options.threads, "worker threads (default 64)");
  app.add_option("--tls-cert", options.tls_cert_file, "PEM certificate: serve HTTPS")
      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", options.tls_key_file, "PEM private key of --tls-cert")
      ->check(CLI::ExistingFile);
  app.add_option("--dialect", dialect,
                 "wire forms accepted: both (default), gateway, or direct (answers as the public "
                 "endpoints do)")
      ->check(CLI::IsMember({"both", "gateway", "direct"}));
  double idle_cut_s = 0;
  app.add_option("--idle-cut", idle_cut_s,
                 "drop any exchange that sends nothing for SECONDS, as a gateway does (default: "
                 "never)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--list-scenarios", list, "print the scenarios and exit");
  CLI11_PARSE(app, argc, argv);

  options.idle_cut = std::chrono::milliseconds(static_cast<long long>(idle_cut_s * 1000));
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
  if (!mix.empty()) {
    options.scenario_mix = zantrel::emulator::ScenarioMix::parse(mix);
    if (!options.scenario_mix) {
      std::cerr << "bad --scenario-mix: " << mix << " (NAME[:PARAM]:WEIGHT,...)\n";
      return 2;
    }
  }
  options.dialect = *zantrel::emulator::parse_accepted_dialect(dialect);
  try {
    // SIGTERM and SIGINT are taken by a thread of their own, which stops the server cleanly.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    zantrel::emulator::Emulator emulator(options);
    emulator.bind();
    std::printf("listening on %s\n", emulator.base_url().c_str());
    std::fflush(stdout);
    std::thread stopper([&] {
      int signal = 0;
      sigwait(&stop_signals, &signal);
      emulator.stop();
    });
    stopper.detach();
    emulator.listen();
  } catch (const std::exception& e) {
    std::cerr << "zantrel-emulator: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
