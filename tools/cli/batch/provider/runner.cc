#include "tools/cli/batch/provider/runner.h"
#include "tools/cli/core/exit_code.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "tools/cli/batch/provider/plan.h"
#include "tools/cli/batch/provider/records.h"
#include "tools/cli/batch/provider/terminal.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/config.h"
#include "zantrel/host/models/cost_estimate.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr double kMaxPollSeconds = 300;
constexpr double kPollGrowth = 1.5;

std::string key_of(const Unit& unit) { return image_key(unit.item->name, unit.index); }

// Eight hex digits that tell this run's batches from any other's at the service.
std::string run_tag() {
  std::random_device random;
  char tag[16];
  std::snprintf(tag, sizeof tag, "%08x", random());
  return tag;
}

// A service's batch engine with what its requests are made and read with. Gemini's batch lines
// are always the public endpoint's requests; its key goes as the address's dialect takes it.
struct Service {
  CallSetup setup;       // the service's own address, key and dialect
  CallSetup wire_setup;  // the same, the requests written in the public form
  host::ServiceBatches batches;
  host::CallOptions options;  // of each batch call: ended by the run's stop
};

class ProviderRun {
 public:
  ProviderRun(const BatchOptions& options, const Jobs& jobs,
              const std::map<host::Service, CallSetup>& setups, const StopOnSignals& signals,
              ResultWriter& writer, BatchTally& tally)
      : options_(options),
        signals_(signals),
        writer_(writer),
        tally_(tally),
        records_(options.out_dir),
        recorded_(batch_results_recorded(options.out_dir)) {
    for (const auto& [service_name, setup] : setups) {
      CallSetup own = setup;
      // The service is spoken to as the job's lines ask (the first that names a dialect).
      std::string requested = "auto";
      for (const BatchItem& item : jobs.items) {
        if (item.call.service == service_name && item.call.dialect != "auto") {
          requested = item.call.dialect;
          break;
        }
      }
      own.dialect = resolve_dialect(requested, service_name, setup.access.base_url);
      // A batch's lines are the public endpoints' own requests, whoever runs the batch.
      CallSetup wire = own;
      wire.dialect = host::Dialect::kDirect;
      const auto inline_limit = static_cast<std::size_t>(options.inline_max_mb * 1e6);
      services_.emplace(service_name,
                        Service{own, wire, service_batches(service_name, own, inline_limit),
                                batch_call_options(own)});
    }
    for (const BatchItem& item : jobs.items) {
      for (int index = 1; index <= item.count; ++index) {
        const Unit unit{&item, index, 0};
        units_.emplace(key_of(unit), unit);
      }
    }
  }

  ExitCode run(const std::deque<Unit>& pending) {
    try {
      find_lost_creates();
      // Images of batches still running are waited for, not asked again.
      std::set<std::string> awaited;
      for (const ProviderRecord& record : records_.all()) {
        if (record.state == "created") awaited.insert(record.keys.begin(), record.keys.end());
      }
      std::vector<Unit> fresh;
      for (const Unit& unit : pending) {
        if (!awaited.contains(key_of(unit)) && services_.contains(unit.item->call.service)) {
          fresh.push_back(unit);
        }
      }
      tally_.total = static_cast<int>(pending.size());
      submit(fresh);
      if (!signals_.stopped()) wait_for_batches();
    } catch (const host::Error& e) {
      if (e.failure_kind() != host::FailureKind::kCancelled) throw;
    }
    terminal_.clear();
    tally_.left = left_;
    ProviderTerminal::left(left_, options_.out_dir);
    if (signals_.stopped()) ProviderTerminal::stopped(records_.all());
    return signals_.stopped() ? ExitCode::kInterrupted : ExitCode::kSuccess;
  }

 private:
  // Intents without an id (a run stopped during the create, or its answer lost): the batch is
  // taken when the service lists it by its name; else no batch was made and its images are
  // free again.
  void find_lost_creates() {
    auto& records = records_.all();
    for (auto at = records.begin(); at != records.end();) {
      if (at->state != "intent" || !services_.contains(at->service)) {
        ++at;
        continue;
      }
      const Service& service = services_.at(at->service);
      const auto id = service.batches.find(at->name, service.options);
      if (id) {
        at->id = *id;
        at->state = "created";
        ProviderTerminal::say(*at, "found at the service as " + *id);
        ++at;
      } else {
        ProviderTerminal::say(*at, "never made; its images are asked again");
        at = records.erase(at);
      }
      records_.save();
    }
  }

  // Each image's request made as a call would send it; a request the checks refuse is that
  // image's result at once.
  std::optional<host::PreparedRequest> prepare(const Unit& unit) {
    const GenerateOptions& call = unit.item->call;
    const Service& service = services_.at(call.service);
    try {
      return call.service == host::Service::kGemini
                 ? gemini_client(service.wire_setup).prepare(gemini_request_of(call))
                 : images_client(service.wire_setup).prepare(images_request_of(call));
    } catch (const std::exception& e) {
      host::CallReport report;
      writer_.record(unit, host::ServiceResult::fail(host::ErrorCode::INVALID_PARAMS, e.what()),
                     service.wire_setup.dialect, report);
      return std::nullopt;
    }
  }

  void submit(const std::vector<Unit>& units) {
    // One batch takes the requests of one service to one path, within the service's limits.
    std::map<std::pair<host::Service, std::string>, std::vector<host::BatchLine>> groups;
    for (const Unit& unit : units) {
      if (signals_.stopped()) return;
      auto prepared = prepare(unit);
      if (!prepared) continue;
      const std::string path = prepared->path;
      groups[{unit.item->call.service, path}].push_back({key_of(unit), std::move(*prepared)});
    }
    const std::string tag = run_tag();
    for (auto& [where, lines] : groups) {
      const Service& service = services_.at(where.first);
      std::size_t max_requests = service.batches.max_requests();
      if (options_.batch_max_requests > 0) {
        max_requests =
            std::min(max_requests, static_cast<std::size_t>(options_.batch_max_requests));
      }
      BatchCuts cuts =
          cut_into_batches(std::move(lines), max_requests, service.batches.max_bytes());
      for (const std::string& key : cuts.too_large) {
        host::CallReport report;
        writer_.record(units_.at(key),
                       host::ServiceResult::fail(host::ErrorCode::INVALID_PARAMS,
                                                 "the request is larger than a batch file"),
                       service.wire_setup.dialect, report);
      }
      for (std::vector<host::BatchLine>& batch : cuts.batches) {
        create(where.first, where.second, batch, tag);
        if (signals_.stopped()) return;
      }
    }
  }

  // Records the intent, creates the batch, records its id: a run stopped in between finds it
  // again by its name.
  void create(host::Service service, const std::string& path, std::vector<host::BatchLine>& lines,
              const std::string& tag) {
    ProviderRecord record;
    record.name = "zantrel-" + tag + "-" + std::to_string(records_.all().size() + 1);
    record.service = service;
    record.path = path;
    record.dialect = std::string(host::to_string(services_.at(service).setup.dialect));
    for (const host::BatchLine& line : lines) record.keys.push_back(line.key);
    record.state = "intent";
    record.recorded = host::format_rfc3339(std::chrono::system_clock::now());
    records_.all().push_back(record);
    records_.save();
    const auto index = records_.all().size() - 1;
    const Service& engine = services_.at(service);
    const host::CreatedBatch created = engine.batches.create(lines, record.name, engine.options);
    switch (created.fate) {
      case host::CreateFate::kMade:
        records_.all()[index].id = created.id;
        records_.all()[index].state = "created";
        break;
      case host::CreateFate::kRefused:
        refuse(index, terminal_text(created.why));
        break;
      case host::CreateFate::kUnknown:
        ProviderTerminal::say(record, "the create's answer was lost (" +
                                          terminal_text(created.why) + "); looking for it");
        // A stop here leaves the intent for the next run to look for.
        if (const auto id = engine.batches.find(record.name, engine.options)) {
          records_.all()[index].id = *id;
          records_.all()[index].state = "created";
        } else {
          // Nothing was made: the intent goes, and its images wait for the next run.
          records_.all().erase(records_.all().begin() + static_cast<long>(index));
          left_ += static_cast<int>(lines.size());
        }
        break;
    }
    records_.save();
    if (index < records_.all().size() && records_.all()[index].state == "created") {
      ProviderTerminal::say(
          record, std::to_string(lines.size()) + " requests, " + records_.all()[index].id);
    }
  }

  void refuse(std::size_t index, const std::string& why) {
    ProviderRecord& record = records_.all()[index];
    record.state = "left";
    record.note = "refused: " + why;
    left_ += static_cast<int>(record.keys.size());
    ProviderTerminal::say(record, record.note);
  }

  void wait_for_batches() {
    double interval = std::max(options_.poll_seconds, 0.05);
    for (;;) {
      bool changed = false;
      int waiting = 0;
      for (ProviderRecord& record : records_.all()) {
        // A batch of a service this job no longer uses waits for a run that does.
        if (record.state != "created" || !services_.contains(record.service)) continue;
        if (signals_.stopped()) return;
        changed |= poll(record);
        if (record.state == "created") ++waiting;
      }
      if (waiting == 0) return;
      interval = changed ? std::max(options_.poll_seconds, 0.05)
                         : std::min(interval * kPollGrowth, kMaxPollSeconds);
      const auto next = Clock::now() + std::chrono::milliseconds(std::lround(interval * 1000));
      while (Clock::now() < next && !signals_.stopped()) {
        terminal_.waiting(records_.all(), remotes_, tally_, waiting,
                          std::chrono::duration<double>(next - Clock::now()).count());
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(100L, std::lround(interval * 1000))));
      }
      if (signals_.stopped()) return;
    }
  }

  // A failure that waiting cannot change (the link policy refusing the service's address, an
  // address that is no URL) ends the run at once, the batch left running and recorded.
  static void refuse_if_permanent(const ProviderRecord& record, const host::Error& e) {
    const host::FailureKind kind = e.failure_kind();
    if (kind != host::FailureKind::kAddressRefused && kind != host::FailureKind::kInvalidURL &&
        kind != host::FailureKind::kUnsupportedScheme) {
      return;
    }
    throw std::runtime_error("batch " + record.name + " (" + record.id +
                             ") can't be reached, and waiting will not change that: " + e.what() +
                             "; it is left running and recorded (fix the address or pass "
                             "--allow-private-links, then --resume)");
  }

  // One poll of a running batch; its results are read when it is done. Whether it changed.
  bool poll(ProviderRecord& record) {
    Service& service = services_.at(record.service);
    host::BatchStatus remote;
    try {
      remote = service.batches.get(record.id, service.options);
    } catch (const host::ServiceRefused&) {
      throw;  // the service says no to this batch: waiting will not change that
    } catch (const host::Error& e) {
      if (e.failure_kind() == host::FailureKind::kCancelled) throw;
      refuse_if_permanent(record, e);
      ProviderTerminal::say(record, "poll failed (" + terminal_text(e.what()) + "); trying later");
      return false;
    }
    std::string& seen = states_[record.name];
    const bool changed = seen != remote.state;
    seen = remote.state;
    remotes_[record.name] = remote;
    if (changed) ProviderTerminal::state_changed(record, remote);
    if (remote.phase == host::BatchStatus::Phase::kLeft) {
      record.state = "left";
      record.note = remote.state + (remote.error.empty() ? "" : ": " + remote.error);
      left_ += static_cast<int>(record.keys.size());
      records_.save();
      return true;
    }
    if (remote.phase != host::BatchStatus::Phase::kDone) return changed;
    try {
      read_results(record, service);
    } catch (const host::Error& e) {
      if (e.failure_kind() == host::FailureKind::kCancelled) throw;
      refuse_if_permanent(record, e);
      ProviderTerminal::say(
          record, "its results could not be read (" + terminal_text(e.what()) + "); trying later");
    } catch (const std::runtime_error& e) {
      // What was written stays written; a later read skips it.
      ProviderTerminal::say(
          record, "its results could not be read (" + terminal_text(e.what()) + "); trying later");
    }
    return true;
  }

  void read_results(ProviderRecord& record, Service& service) {
    std::set<std::string> answered;
    const std::filesystem::path scratch =
        std::filesystem::path(options_.out_dir) / (".results-" + record.name + ".part");
    const auto each = [&](const host::BatchAnswer& answer) {
      const std::string key(answer.key);
      const auto unit = units_.find(key);
      if (unit == units_.end() || !answer.answered) return;
      answered.insert(key);
      if (recorded_.contains(key + "@" + record.id)) return;  // written by an earlier run
      record_batch_answer(unit->second, answer, service.wire_setup, options_.timeout_seconds,
                          writer_, record.id);
      recorded_.insert(key + "@" + record.id);  // a read again after a failure skips it
    };
    const auto unreadable = [&](int line, const std::string& why) {
      ProviderTerminal::unreadable(scratch.filename().string(), line, why);
    };
    service.batches.results(record.id, scratch, each, service.options, unreadable);
    int unanswered = 0;
    for (const std::string& key : record.keys) unanswered += answered.contains(key) ? 0 : 1;
    record.state = "done";
    if (unanswered > 0) {
      record.note = std::to_string(unanswered) + " requests ended without an answer (" +
                    states_[record.name] + ")";
      left_ += unanswered;
    }
    records_.save();
  }

  const BatchOptions& options_;
  const StopOnSignals& signals_;
  ResultWriter& writer_;
  BatchTally& tally_;
  ProviderRecords records_;
  std::set<std::string> recorded_;
  std::map<host::Service, Service> services_;
  std::map<std::string, Unit> units_;
  std::map<std::string, std::string> states_;
  std::map<std::string, host::BatchStatus> remotes_;
  int left_ = 0;
  ProviderTerminal terminal_;
};

}  // namespace

void record_batch_answer(const Unit& unit, const host::BatchAnswer& answer, const CallSetup& setup,
                         double timeout_seconds, ResultWriter& writer,
                         const std::string& batch_id) {
  GenerateOptions call = unit.item->call;
  call.timeout_seconds = timeout_seconds;
  host::CallReport report;
  const host::CallOptions options = call_options_of(call, setup, report);
  host::Bytes body = host::to_bytes(answer.text());
  const host::ServiceResult result =
      call.service == host::Service::kGemini
          ? gemini_client(setup).result_of(gemini_request_of(call), answer.status, std::move(body),
                                           options)
          : images_client(setup).result_of(images_request_of(call), answer.status, std::move(body),
                                           options);
  // The service's batch engine bills at its batch prices.
  if (report.cost) {
    report.cost = host::estimate_cost(*config::model_catalogue(), report.cost->model, report.usage,
                                      host::PriceTier::kBatch);
  }
  writer.record(unit, result, setup.dialect, report, {.batch_id = batch_id, .from_link = ""});
}

ExitCode run_provider_batch(const BatchOptions& options, const Jobs& jobs,
                            const std::deque<Unit>& pending,
                            const std::map<host::Service, CallSetup>& setups,
                            const StopOnSignals& signals, ResultWriter& writer, BatchTally& tally) {
  ProviderRun run(options, jobs, setups, signals, writer, tally);
  return run.run(pending);
}

}  // namespace zantrel::cli
