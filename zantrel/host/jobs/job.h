#pragma once

// A request run by the service as a stored job: submitted in one short exchange, then polled
// and fetched by its id, from this process or a later one. No exchange stays open while the
// image is made, so no gateway's idle limit can cut it, and a host that restarts collects the
// job it already paid for instead of paying again.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::host {

// The wire form a Gemini call takes: generateContent (the default, one exchange), or the
// Interactions API, which can run the call as a job and keeps conversations itself.
enum class GeminiApi { generate_content, interactions };
// The wire form an images call takes: the images API (the default), or the Responses API with
// its image_generation tool, which can run the call as a job.
enum class ImagesApi { images, responses };
// A call's wire form; empty for the client's default.
using ServiceApi = std::variant<std::monostate, GeminiApi, ImagesApi>;

// A job the service holds, as a value a host can store as text and give back later, in this
// process or another.
struct JobRef {
  Service service = Service::kGemini;
  std::string id;
  std::string model;    // the image model the request named
  std::string created;  // when it was submitted: RFC 3339, UTC
  std::string digest;   // SHA-256 of the request body sent: the same request gives the same digest
  // The job as one line of JSON: {"service", "id", "model", "created", "digest"}.
  std::string to_text() const;
  // Throws InvalidArgument naming what is wrong with `text`.
  static JobRef from_text(std::string_view text);
};

// A job as the service describes it when asked.
struct JobStatus {
  enum class Phase {
    kWaiting,    // queued or running
    kDone,       // ended with its answer
    kFailed,     // ended without an image; `error` says why
    kCancelled,  // cancelled before it ended
    kGone,       // the service no longer holds it (expired, deleted, never made)
  };
  Phase phase = Phase::kWaiting;
  std::string state;  // the service's own word: in_progress, completed, ...
  std::string error;  // the service's message, when it gave one

  bool ended() const noexcept { return phase != Phase::kWaiting; }
};
std::string_view to_string(JobStatus::Phase phase) noexcept;  // "waiting", "done", ...

// What a submit gave: the job when the service took it, else the call's result, which says why
// (a refused parameter, the service's refusal, no answer). A submit whose answer was lost
// (`result` with delivery no_answer in its report) may still have made the job.
struct JobSubmission {
  std::optional<JobRef> job;
  ServiceResult result = ServiceResult::fail(ErrorCode::SERVICE_BUSY);

  bool ok() const noexcept { return job.has_value(); }
};

// How a job is waited for: the first poll after `first`, each pause after it `growth` times the
// one before, never above `longest`. The call's deadline and stop end the waiting.
struct JobPolling {
  std::chrono::milliseconds first{1000};
  double growth = 1.5;
  std::chrono::milliseconds longest{10000};
};

}  // namespace zantrel::host
