#include "tools/cli/batch/background.h"

#include <memory>
#include <utility>

#include "tools/cli/jobs/job_record.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::cli {
namespace {

constexpr const char* kLostSubmit =
    "an earlier run's submit got no answer: the job may have been made and be billed, and "
    "neither service lists its jobs; delete its record under the folder's jobs/ to submit again";

// The record as the call ends: collected or failed, or still to collect when the waiting
// stopped before the job ended.
void note_end(const std::filesystem::path& path, JobRecord record,
              const host::ServiceResult& result, const host::CallReport& report) {
  if (result.ok()) {
    record.state = "collected";
  } else if (report.delivery != host::Delivery::kAnswered) {
    record.state = "submitted";
  } else {
    record.state = report.job && report.job->state == "cancelled" ? "cancelled" : "failed";
    record.error = result.msg().value_or("");
  }
  try {
    write_record(path, record);
  } catch (const std::exception&) {
    // The image is recorded in the run's results; only the job's own record is stale.
  }
}

void collect(const GenerateOptions& call, const CallSetup& setup, const std::filesystem::path& path,
             JobRecord record, host::CallReport& report, host::ResultCallback done) {
  const host::JobRef job = *record.job;
  auto finish = [path, record = std::move(record), &report,
                 done = std::move(done)](host::ServiceResult result) {
    note_end(path, record, result, report);
    done(std::move(result));
  };
  const host::CallOptions options = call_options_of(call, setup, report);
  if (job.service == host::Service::kGemini) {
    gemini_client(setup).collect_async(job, options, std::move(finish));
  } else {
    images_client(setup).collect_async(job, options, std::move(finish));
  }
}

}  // namespace

std::filesystem::path batch_job_record(const std::filesystem::path& dir, const std::string& name,
                                       int index) {
  return dir / "jobs" / (name + "-" + std::to_string(index) + ".json");
}

void start_batch_job(const GenerateOptions& call, const CallSetup& setup,
                     const std::filesystem::path& record_path, host::CallReport& report,
                     host::ResultCallback done) {
  std::optional<JobRecord> recorded;
  if (std::filesystem::exists(record_path)) {
    for (RecordFile& file : read_records(record_path.parent_path())) {
      if (file.path == record_path) recorded = std::move(file.record);
    }
  }
  if (recorded && recorded->state == "submitted" && recorded->job) {
    collect(call, setup, record_path, std::move(*recorded), report, std::move(done));
    return;
  }
  if (recorded && recorded->state == "submitting") {
    done(host::ServiceResult::fail(host::ErrorCode::SERVICE_BUSY, kLostSubmit));
    return;
  }
  JobRecord record;
  record.service = call.service;
  record.base_url = setup.access.base_url;
  record.prompt = call.prompt;
  record.model = call.model.value_or("");
  record.aspect_ratio = call.aspect_ratio.value_or("");
  record.created = host::format_rfc3339(std::chrono::system_clock::now());
  try {
    std::filesystem::create_directories(record_path.parent_path());
    write_record(record_path, record);
  } catch (const std::exception& e) {
    done(host::ServiceResult::fail(host::ErrorCode::SERVICE_BUSY,
                                   std::string("the job can't be recorded: ") + e.what()));
    return;
  }
  // The record is written on the event thread: a small file, renamed into place.
  auto submitted = [call, setup, record_path, record, &report,
                    done = std::move(done)](host::JobSubmission submission) mutable {
    if (!submission.ok()) {
      if (report.delivery == host::Delivery::kNoAnswer) {
        record.error = kLostSubmit;
        write_record(record_path, record);
      } else {
        std::filesystem::remove(record_path);
      }
      done(std::move(submission.result));
      return;
    }
    record.job = *submission.job;
    record.state = "submitted";
    write_record(record_path, record);
    collect(call, setup, record_path, std::move(record), report, std::move(done));
  };
  const host::CallOptions options = call_options_of(call, setup, report);
  if (call.service == host::Service::kGemini) {
    gemini_client(setup).submit_async(gemini_request_of(call), options, std::move(submitted));
  } else {
    images_client(setup).submit_async(images_request_of(call), options, std::move(submitted));
  }
}

}  // namespace zantrel::cli
