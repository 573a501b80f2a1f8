#pragma once

#include <optional>
#include <string>
#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// What `zantrel-image batch` takes.
struct BatchOptions {
  std::string jobs_path;
  std::string out_dir;
  int concurrency = 8;
  int retry_attempts = 1;
  double deadline_seconds = 0;
  double timeout_seconds = 0;
  // Sending stops once the next call would likely take this run's estimated cost past this,
  // its calls in flight counted at the mean so far (none: no bound; 0 sends nothing). Direct
  // runs only.
  std::optional<double> max_cost_usd;
  bool resume = false;
  // Direct runs in a folder whose provider batches still run: make only the images those
  // batches do not hold (else the run is refused until they are collected or cancelled).
  bool skip_pending_batches = false;
  bool check = false;
  // Direct runs: every image as a job the service holds (a line's "background": true asks it
  // for its own), each recorded in the folder's jobs/ before it waits.
  bool background = false;
  bool no_metadata = false;  // images written without their facts
  bool allow_private_links = false;
  std::optional<std::string> ca_file;
  // Both services' address and key (else each one's environment variables).
  std::optional<std::string> base_url;
  std::optional<std::string> api_key;
  // "direct" (calls from here) or "provider" (the services' own batch engines).
  std::string via = "direct";
  // Provider batches: the first wait between polls (growing to 5 minutes), requests per batch
  // at most (0: the service's limit), and the size below which Gemini's go inline.
  double poll_seconds = 10;
  int batch_max_requests = 0;
  double inline_max_mb = 20;
};

// Runs every usable line of the job file (see read_batch_line) on the library's event thread,
// at most `concurrency` calls at once (halved on each 429, then grown back one step per
// success). Each finished image is written atomically into `out_dir` and its outcome appended
// to out_dir/results.jsonl at once. Returns the exit status: 0 all done, 1 some failed or
// lines refused or left by --max-cost, 2 a usage error, 130 interrupted (finished results kept;
// --resume goes on).
ExitCode run_batch(const BatchOptions& options);

}  // namespace zantrel::cli
