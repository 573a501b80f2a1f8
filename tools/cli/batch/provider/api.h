#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/core/call_setup.h"
#include "zantrel/host/result/prepared_request.h"

namespace zantrel::cli {

// One request of a provider batch, named by its key ("LINE-INDEX").
struct BatchLine {
  std::string key;
  host::PreparedRequest request;
};

// A batch as the service describes it when polled.
struct RemoteBatch {
  enum class Phase {
    kWaiting,  // queued or running
    kDone,     // ended with results to read (some requests may have none: expired, cancelled)
    kLeft,     // ended without results (failed, expired, cancelled): its requests are to be made
               // again some other way
  };
  Phase phase = Phase::kWaiting;
  std::string state;  // the service's own word: BATCH_STATE_RUNNING, in_progress, ...
  int total = 0;
  int succeeded = 0;
  int failed = 0;
  std::optional<std::chrono::system_clock::time_point> created;
  std::string error;  // why it failed, when the service says
};

// One line of a batch's results: the answer its request got, or none (`answered` false: the
// batch ended before it ran).
struct BatchAnswer {
  std::string_view key;
  bool answered = true;
  int status = 200;
  std::string_view body;  // into the results as read
  std::string held;       // an answer made up from the line (an error wrapped), else empty

  std::string_view text() const { return held.empty() ? body : std::string_view(held); }
};

// A create whose answer never arrived whole: the batch may exist, and is to be looked for by its
// name before anything is sent again.
class CreateLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A service's own batch engine: its requests run there within a day at half the price.
class ProviderBatches {
 public:
  virtual ~ProviderBatches() = default;

  // The service's limits of one batch, and whether `lines` would go inline (Gemini, under its
  // inline size) rather than as an uploaded file.
  virtual std::size_t max_requests() const = 0;
  virtual std::size_t max_bytes() const = 0;
  // Creates a batch of `lines`, all to the same path, named `name`; gives its id. Throws
  // CreateLost when the answer was lost, host::Cancelled when stopped, and an error with the
  // service's text when it refused the batch.
  virtual std::string create(const std::vector<BatchLine>& lines, const std::string& name) = 0;
  // The id of the batch created as `name`, when the service lists one.
  virtual std::optional<std::string> find(const std::string& name) = 0;
  virtual RemoteBatch poll(const std::string& id) = 0;
  // Hands every line of a done batch's results to `each`, one at a time; `scratch` is a file
  // the results may be downloaded into on the way (removed after).
  virtual void results(const std::string& id, const std::filesystem::path& scratch,
                       const std::function<void(const BatchAnswer&)>& each) = 0;
  virtual void cancel(const std::string& id) = 0;
};

// Each line of a downloaded results file: Gemini's responses file ({"key", "response"|"error"})
// and the images API's output or error file ({"custom_id", "response", "error"}).
void read_gemini_results(const std::filesystem::path& path,
                         const std::function<void(const BatchAnswer&)>& each);
void read_images_results(const std::filesystem::path& path,
                         const std::function<void(const BatchAnswer&)>& each);

// Gemini's batchGenerateContent: inline requests while a batch stays under
// `inline_limit_bytes`, else a JSONL file uploaded through the Files API.
std::unique_ptr<ProviderBatches> gemini_batches(const CallSetup& setup,
                                                std::size_t inline_limit_bytes);
// The images API's /v1/batches over a JSONL file uploaded to /v1/files.
std::unique_ptr<ProviderBatches> images_batches(const CallSetup& setup);

}  // namespace zantrel::cli
