// batch-status and batch-cancel: what the services say of the batches a run recorded.
#include <cstdio>

#include <CLI/CLI.hpp>

#include <iostream>
#include "tools/cli/core/flags.h"

#include "tools/cli/batch/progress.h"
#include "tools/cli/batch/provider/records.h"
#include "tools/cli/batch/provider/runner.h"
#include "tools/cli/core/exit_code.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::cli {
namespace {

using SystemClock = std::chrono::system_clock;

// The batch engines of the services the records name, or nothing (the reason printed).
struct Engine {
  host::ServiceBatches batches;
  host::CallOptions options;
};

std::optional<std::map<host::Service, Engine>> engines_of(
    const BatchOptions& o, const std::vector<ProviderRecord>& records,
    const StopOnSignals& signals) {
  const auto http = make_http_client(o.allow_private_links, o.ca_file);
  std::map<host::Service, Engine> engines;
  for (const ProviderRecord& record : records) {
    if (engines.contains(record.service)) continue;
    const auto access = service_access(record.service, o.base_url, o.api_key);
    if (!access) return std::nullopt;
    // The dialect the run spoke to the service in.
    const auto dialect = host::parse_dialect(record.dialect);
    const CallSetup setup{
        *access, dialect ? *dialect : resolve_dialect("auto", record.service, access->base_url),
        http, signals.token()};
    engines.emplace(record.service,
                    Engine{service_batches(record.service, setup, 0), batch_call_options(setup)});
  }
  return engines;
}

// When a running batch should end: at its pace so far, else within the service's 24 hours.
std::string estimate(const host::BatchStatus& remote, std::chrono::seconds age) {
  const int answered = remote.succeeded + remote.failed;
  if (answered > 0 && remote.total > answered) {
    return "~" +
           duration_text(static_cast<double>(age.count()) * (remote.total - answered) / answered) +
           " more";
  }
  if (!remote.created) return "within 24h of its start";
  return "by " + host::format_rfc3339(*remote.created + std::chrono::hours(24));
}

std::optional<ProviderRecords> records_in(const BatchOptions& o) {
  try {
    ProviderRecords records(o.out_dir);
    if (records.all().empty()) {
      std::cout << "no provider batches are recorded in " << o.out_dir << "\n";
    }
    return records;
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return std::nullopt;
  }
}

}  // namespace

ExitCode run_batch_status(const BatchOptions& o) {
  auto records = records_in(o);
  if (!records) return ExitCode::kUsageError;
  const StopOnSignals signals;
  auto engines = engines_of(o, records->all(), signals);
  if (!engines) return ExitCode::kUsageError;
  ExitCode status = ExitCode::kSuccess;
  std::printf("%-22s %-7s %-18s %-24s %-11s %-7s %s\n", "BATCH", "SERVICE", "ID", "STATE",
              "ANSWERED", "AGE", "ESTIMATE");
  for (const ProviderRecord& record : records->all()) {
    std::string state = record.state, answered = "-", age = "-", when = record.note;
    if (record.state == "created") {
      try {
        const Engine& engine = engines->at(record.service);
        const host::BatchStatus remote = engine.batches.get(record.id, engine.options);
        state = remote.state;
        answered =
            std::to_string(remote.succeeded + remote.failed) + "/" + std::to_string(remote.total);
        const auto started = remote.created.value_or(
            host::parse_rfc3339(record.recorded).value_or(SystemClock::now()));
        const auto span =
            std::chrono::duration_cast<std::chrono::seconds>(SystemClock::now() - started);
        age = duration_text(static_cast<double>(span.count()));
        when = remote.phase == host::BatchStatus::Phase::kWaiting
                   ? estimate(remote, span)
                   : "ended: the next run reads its results";
      } catch (const std::exception& e) {
        state = "unknown";
        when = terminal_text(e.what());
        status = ExitCode::kFailedResult;
      }
    }
    std::printf("%-22s %-7s %-18s %-24s %-11s %-7s %s\n", record.name.c_str(),
                std::string(host::to_string(record.service)).c_str(),
                record.id.empty() ? "-" : record.id.c_str(), state.c_str(), answered.c_str(),
                age.c_str(), when.c_str());
  }
  return status;
}

ExitCode run_batch_cancel(const BatchOptions& o) {
  auto records = records_in(o);
  if (!records) return ExitCode::kUsageError;
  const StopOnSignals signals;
  auto engines = engines_of(o, records->all(), signals);
  if (!engines) return ExitCode::kUsageError;
  ExitCode status = ExitCode::kSuccess;
  int asked = 0;
  for (const ProviderRecord& record : records->all()) {
    if (record.state != "created") continue;
    try {
      const Engine& engine = engines->at(record.service);
      engine.batches.cancel(record.id, engine.options);
      std::cout << "cancel asked: " << record.name << " (" << record.id << ")\n";
      ++asked;
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << record.name << ": " << terminal_text(e.what()) << "\n";
      status = ExitCode::kFailedResult;
    }
  }
  std::cout << asked
            << " batches asked to cancel; the next run of the job reads what they "
               "finished and leaves the rest for a direct run\n";
  return status;
}

namespace {

// batch-status and batch-cancel read the records a provider run left in its folder.
Command add_admin_command(CLI::App& app, const char* name, const char* about,
                          ExitCode (*run)(const BatchOptions&)) {
  CLI::App& command = *app.add_subcommand(name, about);
  auto options = std::make_shared<BatchOptions>();
  command.add_option("dir", options->out_dir, "the run's --out-dir")->required();
  add_access_flags(command, *options, true);
  return {&command, [options, run] { return run(*options); }, given_key_of(options)};
}

}  // namespace

Command add_batch_status_command(CLI::App& app) {
  return add_admin_command(app, "batch-status",
                           "the provider batches of a run's folder: state, counts, age, estimate",
                           run_batch_status);
}

Command add_batch_cancel_command(CLI::App& app) {
  return add_admin_command(app, "batch-cancel",
                           "ask the services to cancel a folder's running batches",
                           run_batch_cancel);
}

}  // namespace zantrel::cli
