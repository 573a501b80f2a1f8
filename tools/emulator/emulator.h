#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/emulator/dialect_checks.h"
#include "tools/emulator/scenario.h"

namespace zantrel::emulator {

struct EmulatorOptions {
  // Bearer token that requests must carry; empty accepts any.
  std::string api_key;
  // How requests are answered unless one names its own scenario (header X-Zantrel-Scenario).
  Scenario scenario;
  // When set, each request draws its scenario from this mix instead (seeded: the same seed
  // gives the same sequence of draws).
  std::optional<ScenarioMix> scenario_mix;
  unsigned long seed = 1;
  // Port on 127.0.0.1; 0 picks a free one.
  int port = 0;
  // Worker threads; each open keep-alive connection holds one.
  int threads = 64;
  // PEM files of a certificate and its key: serve HTTPS instead of HTTP.
  std::string tls_cert_file;
  std::string tls_key_file;
  // The wire forms accepted; kDirect answers as the public endpoints do.
  AcceptedDialect dialect = AcceptedDialect::kBoth;
  // Drops any exchange that sends nothing for this long, as a gateway or load balancer in front
  // of the service does (zero: never). Jobs are not cut: their submits and polls answer at once.
  std::chrono::milliseconds idle_cut{0};
};

// A local stand-in for both services, on 127.0.0.1 only:
//   POST /v1beta/models/{model}:generateContent   Gemini
//   POST /v1/images/generations, /v1/images/edits images API
//   POST /upload/v1beta/files, GET /v1beta/files/{id}  Gemini's Files API
//   both services' batch engines (see BatchEngine)
//   POST /v1beta/interactions, GET /v1beta/interactions/{id}, POST .../{id}/cancel
//                                                 Gemini's Interactions API (see
//                                                 GeminiInteractions)
//   GET  /files/{id}                              images behind returned links
//   PUT  /emulator/scenario                       switch the process-wide scenario
class Emulator {
 public:
  explicit Emulator(EmulatorOptions options = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Binds 127.0.0.1 and returns the port; throws when it can't.
  int bind();
  // Serves on the calling thread until stop().
  void listen();
  // bind() and listen() on a background thread.
  void start();
  void stop();

  int port() const;
  std::string base_url() const;
  // Distinct client connections seen so far.
  std::size_t connections() const;
  // Requests to either service's API so far.
  std::uint64_t requests() const;
  // Files uploaded to Gemini's Files API so far (whole uploads), and their bytes.
  std::uint64_t file_uploads() const;
  std::uint64_t file_bytes_uploaded() const;
  // Batches created at either service's batch engine so far.
  std::uint64_t batch_creates() const;
  // Jobs submitted to either service's job API so far (a submit whose answer was lost counts).
  std::uint64_t job_submits() const;
  void set_scenario(const Scenario& scenario);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zantrel::emulator
