#include "tools/cli/commands/jobs_command.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <utility>

#include <CLI/CLI.hpp>

#include "tools/cli/core/call_setup.h"
#include "tools/cli/core/flags.h"
#include "tools/cli/core/signal_stop.h"
#include "tools/cli/jobs/job_run.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

std::string age_of(const std::string& created) {
  const auto at = host::parse_rfc3339(created);
  if (!at) return "?";
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - *at)
          .count();
  if (seconds < 120) return std::to_string(seconds) + " s";
  if (seconds < 7200) return std::to_string(seconds / 60) + " min";
  if (seconds < 172800) return std::to_string(seconds / 3600) + " h";
  return std::to_string(seconds / 86400) + " d";
}

bool names(const RecordFile& file, const std::string& id) {
  return (file.record.job && file.record.job->id == id) || file.path.stem().string() == id;
}

// The address, key and HTTP stack a recorded job is reached with.
std::optional<CallSetup> setup_for(const JobsOptions& o, const JobRecord& record,
                                   std::stop_token stop) {
  const auto access = service_access(
      record.service, o.base_url ? o.base_url : std::optional(record.base_url), o.api_key);
  if (!access) return std::nullopt;
  return CallSetup{*access, resolve_dialect("auto", record.service, access->base_url),
                   make_http_client(o.allow_private_links, o.ca_file), std::move(stop)};
}

ExitCode list(const std::vector<RecordFile>& records, bool as_json) {
  for (const RecordFile& file : records) {
    const JobRecord& r = file.record;
    if (as_json) {
      json line = r.to_json();
      line["record"] = file.path.string();
      std::cout << line.dump() << "\n";
      continue;
    }
    std::printf("%-28s %-7s %-10s %-8s %s\n",
                r.job ? terminal_text(r.job->id).c_str() : file.path.stem().string().c_str(),
                std::string(host::to_string(r.service)).c_str(), r.state.c_str(),
                age_of(r.created).c_str(),
                terminal_text(r.written.empty() ? r.output : r.written).c_str());
  }
  if (records.empty() && !as_json) std::cout << "no recorded jobs\n";
  return ExitCode::kSuccess;
}

ExitCode collect(const JobsOptions& o, const std::vector<RecordFile>& records) {
  const StopOnSignals signals;
  bool all_ok = true;
  int asked = 0;
  for (const RecordFile& file : records) {
    if (!o.all && !names(file, o.id)) continue;
    ++asked;
    if (file.record.state == "submitting") {
      std::cerr << "zantrel-image: " << file.path.string() << ": "
                << (file.record.error.empty() ? "its submit never ended" : file.record.error)
                << "\n";
      all_ok = false;
      continue;
    }
    if (file.record.state != "submitted" || !file.record.job) {
      if (!o.all) std::cerr << "zantrel-image: job " << o.id << " is " << file.record.state << "\n";
      continue;
    }
    const auto setup = setup_for(o, file.record, signals.token());
    if (!setup) return ExitCode::kUsageError;
    all_ok = collect_recorded(file.path, file.record, *setup, setup->dialect, o.json) && all_ok;
    if (signals.stopped()) return ExitCode::kInterrupted;
  }
  if (asked == 0 && !o.all) {
    std::cerr << "zantrel-image: no recorded job " << o.id << "\n";
    return ExitCode::kUsageError;
  }
  return all_ok ? ExitCode::kSuccess : ExitCode::kFailedResult;
}

ExitCode cancel(const JobsOptions& o, const std::vector<RecordFile>& records) {
  for (const RecordFile& file : records) {
    if (!names(file, o.id) || !file.record.job) continue;
    const auto setup = setup_for(o, file.record, {});
    if (!setup) return ExitCode::kUsageError;
    try {
      const host::JobStatus status = file.record.service == host::Service::kGemini
                                         ? gemini_client(*setup).cancel(*file.record.job)
                                         : images_client(*setup).cancel(*file.record.job);
      JobRecord record = file.record;
      if (status.phase == host::JobStatus::Phase::kCancelled) record.state = "cancelled";
      write_record(file.path, record);
      std::cout << "job " << terminal_text(o.id) << ": " << terminal_text(status.state) << "\n";
      return ExitCode::kSuccess;
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: job " << terminal_text(o.id) << ": " << terminal_text(e.what())
                << "\n";
      return ExitCode::kFailedResult;
    }
  }
  std::cerr << "zantrel-image: no recorded job " << terminal_text(o.id) << "\n";
  return ExitCode::kUsageError;
}

}  // namespace

ExitCode run_jobs_command(const JobsOptions& o) {
  std::vector<RecordFile> records;
  try {
    std::vector<std::string> unreadable;
    records = read_records(jobs_folder(), &unreadable);
    for (const std::string& why : unreadable) std::cerr << "zantrel-image: " << why << "\n";
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kUsageError;
  }
  if (o.action == "collect") return collect(o, records);
  if (o.action == "cancel") return cancel(o, records);
  return list(records, o.json);
}

Command add_jobs_command(CLI::App& app) {
  CLI::App& command = *app.add_subcommand(
      "jobs", "background calls recorded on this machine: list them, collect or cancel one");
  auto options = std::make_shared<JobsOptions>();
  command.add_flag("--json", options->json, "one JSON object per line");
  CLI::App& collect_command =
      *command.add_subcommand("collect", "wait for recorded jobs and write their images");
  collect_command.add_option("id", options->id, "the job's id");
  collect_command.add_flag("--all", options->all, "every job still to collect");
  collect_command.add_flag("--json", options->json, "one JSON object per image");
  add_access_flags(collect_command, *options, true);
  CLI::App& cancel_command = *command.add_subcommand("cancel", "ask the service to cancel a job");
  cancel_command.add_option("id", options->id, "the job's id")->required();
  add_access_flags(cancel_command, *options, true);
  return {&command,
          [options, &collect_command, &cancel_command] {
            if (collect_command.parsed()) {
              options->action = "collect";
              if (options->id.empty() && !options->all) {
                std::cerr << "zantrel-image: jobs collect takes a job's id or --all\n";
                return ExitCode::kUsageError;
              }
            }
            if (cancel_command.parsed()) options->action = "cancel";
            return run_jobs_command(*options);
          },
          given_key_of(options)};
}

}  // namespace zantrel::cli
