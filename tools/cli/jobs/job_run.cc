#include "tools/cli/jobs/job_run.h"

#include <unistd.h>

#include <future>
#include <iostream>
#include <optional>
#include <vector>

#include "tools/cli/output/image_output.h"
#include "tools/cli/output/run_report.h"
#include "tools/cli/terminal/spinner.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::cli {
namespace {

constexpr const char* kLostSubmit =
    "the submit's answer was lost: the job may have been made and be billed, and neither "
    "service lists its jobs, so it can't be looked up; submit again only if a second image is "
    "acceptable";

// The job's state as a record keeps it once the collecting has ended: a collect that could not
// learn how the job ended (the service unreachable, the run stopped) leaves it to collect later.
std::string ended_state(const host::ServiceResult& result, const host::CallReport& report) {
  if (result.ok()) return "collected";
  if (report.job && report.job->state == "cancelled") return "cancelled";
  if (report.delivery != host::Delivery::kAnswered) return "submitted";
  return "failed";
}

host::JobSubmission submit(const GenerateOptions& o, const CallSetup& setup,
                           host::CallReport& report) {
  const host::CallOptions options = call_options_of(o, setup, report);
  return o.service == host::Service::kGemini
             ? gemini_client(setup).submit(gemini_request_of(o), options)
             : images_client(setup).submit(images_request_of(o), options);
}

void start_collect(const host::JobRef& job, const GenerateOptions& o, const CallSetup& setup,
                   host::CallReport& report, host::ResultCallback done) {
  const host::CallOptions options = call_options_of(o, setup, report);
  if (job.service == host::Service::kGemini) {
    gemini_client(setup).collect_async(job, options, std::move(done));
  } else {
    images_client(setup).collect_async(job, options, std::move(done));
  }
}

void tell_recorded(const GenerateOptions& o, const host::JobRef& job,
                   const std::filesystem::path& path) {
  if (o.json && o.detach) {
    std::cout << nlohmann::ordered_json{{"job", nlohmann::ordered_json::parse(job.to_text())},
                                        {"record", path.string()}}
                     .dump()
              << std::endl;
    return;
  }
  std::cerr << "zantrel-image: job " << job.id << " (" << host::to_string(job.service)
            << ") recorded in " << path.string() << "\n";
}

JobRecord record_of(const GenerateOptions& o, const CallSetup& setup, int index, int calls) {
  JobRecord record;
  record.service = o.service;
  record.base_url = setup.access.base_url;
  if (o.out) record.output = calls > 1 ? numbered_name(*o.out, index) : *o.out;
  record.prompt = o.prompt;
  record.model = o.model.value_or("");
  record.aspect_ratio = o.aspect_ratio.value_or("");
  record.created = host::format_rfc3339(std::chrono::system_clock::now());
  return record;
}

}  // namespace

ExitCode run_jobs(const GenerateOptions& o, const CallSetup& setup, host::Dialect dialect) {
  std::filesystem::path folder;
  try {
    folder = jobs_folder();
    std::filesystem::create_directories(folder);
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "; nothing was sent\n";
    return ExitCode::kUsageError;
  }
  const int calls = o.service == host::Service::kGemini ? o.count : 1;
  Calls out;
  out.reports.resize(static_cast<std::size_t>(calls));
  std::vector<std::optional<host::ServiceResult>> results(out.reports.size());
  std::vector<RecordFile> recorded(out.reports.size());
  bool all_submitted = true;
  for (std::size_t i = 0; i < out.reports.size(); ++i) {
    // Recorded before it is sent: a crash during the submit leaves a trace of it.
    RecordFile& file = recorded[i];
    file.record = record_of(o, setup, static_cast<int>(i) + 1, calls);
    file.path = new_record_path(folder);
    write_record(file.path, file.record);
    host::JobSubmission submitted = submit(o, setup, out.reports[i]);
    if (!submitted.ok()) {
      all_submitted = false;
      if (out.reports[i].delivery == host::Delivery::kNoAnswer) {
        file.record.error = kLostSubmit;
        write_record(file.path, file.record);
      } else {
        std::filesystem::remove(file.path);
        file.path.clear();
      }
      results[i] = std::move(submitted.result);
      continue;
    }
    file.record.job = *submitted.job;
    file.record.state = "submitted";
    write_record(file.path, file.record);
    tell_recorded(o, *submitted.job, file.path);
  }
  if (o.detach) {
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (!results[i]) continue;
      std::cerr << "zantrel-image: " << failure_text(*results[i], out.reports[i]) << "\n";
    }
    if (!o.json) std::cerr << "zantrel-image: collect with: zantrel-image jobs collect --all\n";
    return all_submitted ? ExitCode::kSuccess : ExitCode::kFailedResult;
  }
  std::vector<std::future<host::ServiceResult>> waiting(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (results[i]) continue;
    auto promise = std::make_shared<std::promise<host::ServiceResult>>();
    waiting[i] = promise->get_future();
    start_collect(*recorded[i].record.job, o, setup, out.reports[i],
                  [promise](host::ServiceResult result) { promise->set_value(std::move(result)); });
  }
  run_with_spinner(std::string("waiting for ") + (calls > 1 ? "the jobs" : "the job"),
                   !o.json && ::isatty(STDERR_FILENO) == 1, [&] {
                     for (std::size_t i = 0; i < results.size(); ++i) {
                       if (!results[i]) results[i] = waiting[i].get();
                     }
                   });
  for (auto& result : results) out.results.push_back(std::move(*result));
  const bool all_ok = report_images(o, dialect, out);
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    RecordFile& file = recorded[i];
    if (file.path.empty() || !file.record.job) continue;
    file.record.state = ended_state(out.results[i], out.reports[i]);
    if (!out.results[i].ok()) file.record.error = out.results[i].msg().value_or("");
    write_record(file.path, file.record);
  }
  if (setup.stop.stop_requested()) return ExitCode::kInterrupted;
  return all_ok ? ExitCode::kSuccess : ExitCode::kFailedResult;
}

bool collect_recorded(const std::filesystem::path& path, JobRecord record, const CallSetup& setup,
                      host::Dialect dialect, bool json) {
  GenerateOptions o;
  o.service = record.service;
  o.prompt = record.prompt;
  if (!record.model.empty()) o.model = record.model;
  if (!record.aspect_ratio.empty()) o.aspect_ratio = record.aspect_ratio;
  if (!record.output.empty()) o.out = record.output;
  o.json = json;
  Calls calls;
  calls.reports.resize(1);
  auto promise = std::make_shared<std::promise<host::ServiceResult>>();
  auto future = promise->get_future();
  start_collect(*record.job, o, setup, calls.reports[0],
                [promise](host::ServiceResult result) { promise->set_value(std::move(result)); });
  run_with_spinner("collecting job " + record.job->id, !json && ::isatty(STDERR_FILENO) == 1,
                   [&] { calls.results.push_back(future.get()); });
  const bool ok = report_images(o, dialect, calls);
  record.state = ended_state(calls.results[0], calls.reports[0]);
  record.error = calls.results[0].ok() ? "" : calls.results[0].msg().value_or("");
  write_record(path, record);
  return ok;
}

}  // namespace zantrel::cli
