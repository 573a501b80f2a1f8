#include "tools/cli/commands/batch_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "tools/cli/batch/background.h"
#include "tools/cli/batch/folder_lock.h"
#include "tools/cli/batch/provider/records.h"
#include "tools/cli/batch/provider/runner.h"
#include "tools/cli/batch/record.h"
#include "tools/cli/batch/result_line.h"
#include "tools/cli/batch/resume.h"
#include "tools/cli/core/secret_guard.h"
#include "tools/cli/core/signal_stop.h"
#include "tools/cli/output/image_output.h"
#include "tools/cli/terminal/status_line.h"
#include "zantrel/host/images/image_mime.h"

namespace zantrel::cli {
namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::ordered_json;

// The largest answer a provider batch's run takes (its results files are streamed to disk).
constexpr std::size_t kProviderResultsCap = std::size_t{8} << 30;

// Times one image goes back to the queue after a 429 before that answer counts as its result.
constexpr int kMaxRequeues = 5;

// A call in flight: its report stays here until the call is over.
struct Flight {
  Unit unit;
  host::Dialect dialect = host::Dialect::kGateway;
  host::CallReport report;
  std::optional<host::ServiceResult> result;
};

// The runner's state, shared with the completions that arrive on the event thread.
class Runner {
 public:
  Runner(const BatchOptions& options, ResultWriter& writer, BatchTally& tally)
      : options_(options), writer_(writer), tally_(tally), limit_(options.concurrency) {}

  ExitCode run(std::deque<Unit> pending, const std::map<host::Service, CallSetup>& setups,
               const StopOnSignals& signals) {
    pending_ = std::move(pending);
    const bool live = ::isatty(STDERR_FILENO) == 1;
    std::unique_lock lock(mutex_);
    for (;;) {
      // Slots are refilled before the finished images are written, so that writing them
      // never holds calls back.
      const auto finished = take_finished();
      const bool stopping = signals.stopped();
      if (in_flight_.empty() && finished.empty() &&
          (stopping || pending_.empty() || !within_budget(finished))) {
        break;
      }
      while (!stopping && !pending_.empty() && static_cast<int>(in_flight_.size()) < limit_ &&
             Clock::now() >= resume_at_ && within_budget(finished)) {
        launch(setups.at(pending_.front().item->call.service), lock);
      }
      for (const auto& flight : finished) record(*flight);
      tally_.in_flight = static_cast<int>(in_flight_.size());
      if (live) draw_status_line(progress_line(tally_));
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (live) clear_status_line();
    if (signals.stopped()) return ExitCode::kInterrupted;
    if (!pending_.empty()) {
      tally_.unsubmitted = static_cast<int>(pending_.size());
      std::cerr << (tally_.unpriced > 0 ? "stopped: answers without a price (a model the price "
                                          "table does not list) can't be held to --max-cost; "
                                        : "stopped at the budget: ")
                << "about " << dollars(total_cost(tally_)) << " of "
                << dollars(options_.max_cost_usd.value_or(0)) << " spent, " << pending_.size()
                << " images not sent; --resume with a larger --max-cost makes them\n";
    }
    return ExitCode::kSuccess;
  }

 private:
  // Takes the next image off the queue and starts it; the lock is let go meanwhile, as a call
  // that ends at once (a refused parameter) completes on this thread.
  void launch(const CallSetup& setup, std::unique_lock<std::mutex>& lock) {
    auto flight = std::make_shared<Flight>();
    flight->unit = pending_.front();
    pending_.pop_front();
    in_flight_.push_back(flight);
    lock.unlock();
    start(flight, setup);
    lock.lock();
  }

  void start(const std::shared_ptr<Flight>& flight, const CallSetup& setup) {
    GenerateOptions call = flight->unit.item->call;
    call.timeout_seconds = options_.timeout_seconds;
    call.deadline_seconds = options_.deadline_seconds;
    call.retry_attempts = options_.retry_attempts;
    CallSetup own = setup;
    own.dialect = resolve_dialect(call.dialect, call.service, setup.access.base_url);
    flight->dialect = own.dialect;
    auto ended = [this, flight](host::ServiceResult result) {
      const std::lock_guard guard(mutex_);
      flight->result.emplace(std::move(result));
      changed_.notify_all();
    };
    if (call.job || options_.background) {
      const BatchItem& item = *flight->unit.item;
      start_batch_job(call, own, batch_job_record(options_.out_dir, item.name, flight->unit.index),
                      flight->report, std::move(ended));
      return;
    }
    start_call(call, own, flight->report, std::move(ended));
  }

  // With the lock held: the calls that have ended and are to be recorded. A 429 goes back to
  // the queue (with fewer calls at once, and none before the service's hint); a call cancelled
  // by Ctrl-C is no result (a resumed run makes it).
  std::vector<std::shared_ptr<Flight>> take_finished() {
    std::vector<std::shared_ptr<Flight>> finished;
    for (auto at = in_flight_.begin(); at != in_flight_.end();) {
      if (!(*at)->result) {
        ++at;
        continue;
      }
      const std::shared_ptr<Flight> flight = *at;
      at = in_flight_.erase(at);
      const host::CallReport& report = flight->report;
      if (report.failure_kind == "Cancelled") continue;
      if (report.http_status == 429 && flight->unit.requeued < kMaxRequeues) {
        limit_ = std::max(1, limit_ / 2);
        ++tally_.backoffs;
        const double wait = report.retry_after_s.value_or(1.0);
        resume_at_ = std::max(
            resume_at_, Clock::now() + std::chrono::milliseconds(static_cast<long>(wait * 1000)));
        ++flight->unit.requeued;
        pending_.push_front(flight->unit);
        continue;
      }
      if (flight->result->ok()) limit_ = std::min(options_.concurrency, limit_ + 1);
      finished.push_back(flight);
    }
    return finished;
  }

  // With the lock held: whether the next call may start under --max-cost, that is whether its
  // likely cost still fits. The next call and each one in flight count at the mean cost of
  // their service's answers so far, so a budget is not overrun by a whole round of concurrent
  // calls. A service's first call, before any answer shows what its calls cost, goes alone.
  // `finished`: the calls ended but not yet recorded, counted as in flight.
  bool within_budget(const std::vector<std::shared_ptr<Flight>>& finished) const {
    if (!options_.max_cost_usd) return true;
    const double budget = *options_.max_cost_usd;
    if (tally_.unpriced > 0) return false;  // a cost that can't be estimated can't be bounded
    const auto mean = [&](host::Service service) -> std::optional<double> {
      const std::string name(host::to_string(service));
      const auto count = tally_.priced.find(name);
      if (count == tally_.priced.end()) return std::nullopt;
      return tally_.cost_usd.at(name) / count->second;
    };
    std::map<host::Service, int> running;
    for (const auto& flight : in_flight_) ++running[flight->unit.item->call.service];
    for (const auto& flight : finished) ++running[flight->unit.item->call.service];
    double projected = total_cost(tally_);
    for (const auto& [service, count] : running) {
      const auto cost = mean(service);
      if (!cost) return false;  // a first call still out: its cost decides what may follow
      projected += *cost * count;
    }
    if (pending_.empty()) return projected < budget;
    const auto next_cost = mean(pending_.front().item->call.service);
    return next_cost ? projected + *next_cost <= budget : projected < budget;
  }

  void record(const Flight& flight) {
    writer_.record(flight.unit, *flight.result, flight.dialect, flight.report);
  }

  const BatchOptions& options_;
  ResultWriter& writer_;
  BatchTally& tally_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Unit> pending_;
  std::vector<std::shared_ptr<Flight>> in_flight_;
  int limit_;
  Clock::time_point resume_at_{};
};

// The images (their keys) of the folder's provider batches that may still run (created, or
// whose create's answer was lost). Unless `skip`, their existence refuses a direct run, which
// would buy them a second time; with it, the run leaves them to the batches.
std::set<std::string> images_of_running_batches(const std::filesystem::path& dir, bool skip) {
  ProviderRecords records(dir);
  std::set<std::string> held;
  std::string names;
  int running = 0;
  for (const ProviderRecord& record : records.all()) {
    if (record.state != "created" && record.state != "intent") continue;
    held.insert(record.keys.begin(), record.keys.end());
    names += (running++ == 0 ? "" : ", ") + record.name;
  }
  if (running > 0 && !skip) {
    throw std::runtime_error(
        dir.string() + " records " + std::to_string(running) +
        " provider batch(es) that may still " + "run (" + names + ", " +
        std::to_string(held.size()) +
        " images): collect them with `batch --via provider --resume` (after `batch-cancel` to "
        "stop them), or pass --skip-pending-batches to make only the other images here");
  }
  if (running > 0) {
    std::cerr << "zantrel-image: " << held.size() << " images are left to " << running
              << " provider batch(es) that may still run\n";
  }
  return held;
}

// Images an earlier run paid for but got only as links it could not fetch: fetched now, and
// written as their calls' results, instead of being bought again. A link that still fails
// leaves its image to be made.
void fetch_recorded_links(std::deque<Unit>& pending,
                          const std::map<std::string, std::string>& links, host::HttpClient& http,
                          ResultWriter& writer) {
  if (links.empty()) return;
  std::erase_if(pending, [&](const Unit& unit) {
    const auto link = links.find(image_key(unit.item->name, unit.index));
    if (link == links.end()) return false;
    try {
      host::HttpResponse answer = http.get(link->second, {});
      host::Bytes image = std::move(answer.body);
      if (answer.status_code == 200 && host::sniff_image_mime(image)) {
        writer.record(unit, host::ServiceResult::success(std::move(image)), host::Dialect::kDirect,
                      host::CallReport{}, {.batch_id = "", .from_link = link->second});
        return true;
      }
      std::cerr << "zantrel-image: the link " << link->second << " answered HTTP "
                << answer.status_code << "; " << image_stem(*unit.item, unit.index)
                << " is made again\n";
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: the link " << link->second << " could not be fetched ("
                << e.what() << "); " << image_stem(*unit.item, unit.index) << " is made again\n";
    }
    return false;
  });
}

// --check: each line as the library would take it, asked of the client without sending: a
// ratio the model refuses, a member it takes not, a reference that does not load.
void refuse_what_the_library_refuses(Jobs& jobs, const BatchOptions& o) {
  const auto http = make_http_client(o.allow_private_links, o.ca_file);
  refuse_items(jobs, [&](const BatchItem& item) -> std::optional<std::string> {
    const ServiceAccess access = service_address(item.call.service, o.base_url);
    const CallSetup setup{
        access, resolve_dialect(item.call.dialect, item.call.service, access.base_url), http, {}};
    auto why = call_refusal(item.call, setup);
    if (!why) return std::nullopt;
    return "line " + std::to_string(item.line) + ": " + *why;
  });
}

}  // namespace

ExitCode run_batch(const BatchOptions& o) {
  // NaN fails every `>= 0` below.
  if (o.concurrency < 1 || o.retry_attempts < 1 || !(o.deadline_seconds >= 0) ||
      !(o.timeout_seconds >= 0) || !(o.poll_seconds >= 0) || o.batch_max_requests < 0 ||
      !(o.inline_max_mb >= 0)) {
    std::cerr << "zantrel-image: --concurrency and --retry take a whole number from 1; "
                 "--deadline, --timeout, --poll, --batch-max-requests and --inline-max-mb must "
                 "not be negative\n";
    return ExitCode::kUsageError;
  }
  if (o.max_cost_usd &&
      (!std::isfinite(*o.max_cost_usd) || *o.max_cost_usd < 0 || o.via == "provider")) {
    std::cerr << "zantrel-image: --max-cost takes US dollars from 0 (0 sends nothing), and "
                 "applies to --via direct: a provider run sends all its batches at once and is "
                 "priced as they end\n";
    return ExitCode::kUsageError;
  }
  Jobs jobs;
  try {
    jobs = read_jobs(o.jobs_path);
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kUsageError;
  }
  if (o.check) {
    refuse_colliding_stems(jobs);
    refuse_what_the_library_refuses(jobs, o);
    int images = 0;
    for (const BatchItem& item : jobs.items) images += item.count;
    for (const auto& [line, reason] : jobs.refused) std::cerr << reason << "\n";
    std::cout << jobs.items.size() << " items (" << images << " images) ready, "
              << jobs.refused.size() << " lines refused\n";
    return jobs.refused.empty() ? ExitCode::kSuccess : ExitCode::kFailedResult;
  }

  const bool provider_run = o.via == "provider";
  const std::filesystem::path dir(o.out_dir);
  std::error_code made;
  std::filesystem::create_directories(dir, made);
  auto lock = FolderLock::take(dir, o.via == "provider" ? "batch --via provider" : "batch");
  if (auto* held = std::get_if<std::string>(&lock)) {
    std::cerr << "zantrel-image: " << *held << "\n";
    return ExitCode::kFailedResult;
  }
  RunPlan plan = plan_run(jobs, dir, o.resume);
  if (!provider_run) {
    std::set<std::string> held;
    try {
      held = images_of_running_batches(dir, o.skip_pending_batches);
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << e.what() << "\n";
      return ExitCode::kFailedResult;
    }
    std::erase_if(plan.pending, [&](const Unit& unit) {
      return held.contains(image_key(unit.item->name, unit.index));
    });
  }
  for (const std::string& notice : plan.notices) std::cerr << "zantrel-image: " << notice << "\n";
  const auto already_refused =
      o.resume ? refusals_recorded(dir) : std::set<std::pair<int, std::string>>{};

  // Each service's address and key, for the services the job uses.
  const StopOnSignals signals;  // before the library's event thread starts
  // A provider batch's results are downloaded into a file as they arrive, whatever their size.
  const auto http = make_http_client(o.allow_private_links, o.ca_file,
                                     provider_run ? kProviderResultsCap : std::size_t{0});
  std::map<host::Service, CallSetup> setups;
  for (const BatchItem& item : jobs.items) {
    const host::Service service = item.call.service;
    if (setups.contains(service)) continue;
    const auto access = service_access(service, o.base_url, o.api_key);
    if (!access) return ExitCode::kUsageError;
    setups.emplace(service, CallSetup{*access, host::Dialect::kGateway, http, signals.token()});
  }

  BatchTally tally;
  try {
    std::vector<std::string> keys;
    keys.reserve(setups.size());
    for (const auto& [service, setup] : setups) keys.push_back(setup.access.api_key);
    ResultsFile results(dir / "results.jsonl", run_secrets(keys));
    for (const auto& [line, reason] : jobs.refused) {
      std::cerr << reason << "\n";
      if (already_refused.contains({line, reason})) continue;
      ResultLine refusal;
      refusal.line = line;
      refusal.error = reason;
      results.append(to_json(refusal));
    }
    tally.refused_lines = static_cast<int>(jobs.refused.size());
    tally.skipped = plan.finished;
    std::deque<Unit> pending = std::move(plan.pending);
    tally.total = static_cast<int>(pending.size());
    GalleryPage gallery(dir);
    ResultWriter writer(dir, results, tally, !o.no_metadata, &gallery);
    writer.keep_unrecorded_files(std::move(plan.recorded_files));
    fetch_recorded_links(pending, plan.links, *http, writer);
    ExitCode status = ExitCode::kSuccess;
    if (provider_run) {
      status = run_provider_batch(o, jobs, pending, setups, signals, writer, tally);
    } else {
      Runner runner(o, writer, tally);
      status = runner.run(std::move(pending), setups, signals);
    }
    gallery.write();
    std::cout << summary_table(tally, results.path().string())
              << "gallery: " << (dir / "index.html").string() << "\n";
    if (status != ExitCode::kSuccess) return status;
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kFailedResult;
  }
  return tally.failed == 0 && tally.left == 0 && tally.unsubmitted == 0 && jobs.refused.empty()
             ? ExitCode::kSuccess
             : ExitCode::kFailedResult;
}

Command add_batch_command(CLI::App& app, SharedFlags& shared) {
  CLI::App& batch = *app.add_subcommand("batch", "generate every line of a JSON-lines job file");
  auto options = std::make_shared<BatchOptions>();
  BatchOptions& o = *options;
  batch.add_option("jobs", o.jobs_path, "JSON-lines job file")->required();
  batch.add_option("--out-dir", o.out_dir, "images and results.jsonl go here")->required();
  batch.add_option("--concurrency", o.concurrency, "calls at once (default 8)");
  batch.add_option("--retry", o.retry_attempts, "requests per call at most");
  batch.add_option("--deadline", o.deadline_seconds, "bound on each call as a whole, in seconds");
  batch.add_option("--timeout", o.timeout_seconds, "read time-out in seconds");
  batch.add_flag("--resume", o.resume,
                 "skip images an earlier run finished (result ok, file with its sha256)");
  batch.add_flag("--check", o.check, "check every line, send nothing");
  batch.add_flag("--background", o.background,
                 "make every image as a job the service holds (--concurrency jobs at once), "
                 "recorded under the folder's jobs/ before it waits: a rerun collects them");
  batch.add_flag("--no-metadata", o.no_metadata,
                 "write the images without their prompt, model and parameters inside");
  add_access_flags(batch, o, true);
  batch.add_option("--max-cost", o.max_cost_usd,
                   "stop sending once the estimated cost of this run reaches this many US "
                   "dollars (finished and running calls are kept; --resume goes on)");
  batch
      .add_option("--via", o.via,
                  "direct (calls from here, default) or provider: the services' own batch "
                  "engines, at half the price, within 24 hours")
      ->check(CLI::IsMember({"direct", "provider"}));
  batch.add_flag("--skip-pending-batches", o.skip_pending_batches,
                 "direct: leave the images of the folder's provider batches that may still run "
                 "to them (else such a run is refused)");
  batch.add_option("--poll", o.poll_seconds,
                   "provider: seconds before the first poll of the batches, growing to 5 "
                   "minutes while nothing changes (default 10)");
  batch.add_option("--batch-max-requests", o.batch_max_requests,
                   "provider: requests per batch at most (default: the service's 50,000)");
  batch.add_option("--inline-max-mb", o.inline_max_mb,
                   "provider: Gemini batches below this size go inline, larger ones as an "
                   "uploaded file (default 20, the service's limit)");
  add_shared_flags(batch, shared);
  return {&batch, [options] { return run_batch(*options); }, given_key_of(options)};
}

}  // namespace zantrel::cli
