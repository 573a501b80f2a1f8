#pragma once

// What the services' own batch engines take and give back: a batch's lines, its state when
// asked, the answers it ends with, and what a create's answer says of the batch.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zantrel/host/result/prepared_request.h"

namespace zantrel::host {

// One request of a batch, named by a key its answer comes back under.
struct BatchLine {
  std::string key;
  PreparedRequest request;
};

// A batch as the service describes it when asked.
struct BatchStatus {
  enum class Phase {
    kWaiting,  // queued or running
    kDone,     // ended with results to read (some requests may have none: expired, cancelled)
    kLeft,     // ended without results (failed, expired, cancelled): its requests are to be made
               // again some other way
  };
  Phase phase = Phase::kWaiting;
  std::string id;
  std::string name;   // the name it was created under
  std::string state;  // the service's own word: BATCH_STATE_RUNNING, in_progress, ...
  int total = 0;
  int succeeded = 0;
  int failed = 0;
  std::optional<std::chrono::system_clock::time_point> created;
  std::string error;  // why it failed, when the service says
};

// One page of the batches the key can see, newest first; `next_page` is empty on the last.
struct BatchPage {
  std::vector<BatchStatus> batches;
  std::string next_page;
};

// One line of a batch's results: the answer its request got, or none (`answered` false: the
// batch ended before it ran). The views point into the results as read and last as long as the
// call that hands the answer over.
struct BatchAnswer {
  std::string_view key;
  bool answered = true;
  int status = 200;
  std::string_view body;
  std::string held;  // an answer made up from the line (an error wrapped), else empty

  std::string_view text() const { return held.empty() ? body : std::string_view(held); }
};

// What a create's answer says of the batch. A create whose answer is lost may still have made
// the batch: it is to be looked for by its name before anything is sent again, or a day's work
// is paid twice.
enum class CreateFate {
  kMade,     // the service named the batch it made
  kRefused,  // the service said no: nothing was made
  kUnknown,  // no whole answer (a cut, a time-out, a stop, a 429 or 5xx, an answer naming no
             // batch): it may have been made
};

struct CreatedBatch {
  CreateFate fate = CreateFate::kUnknown;
  std::string id;   // when made
  std::string why;  // when refused or unknown: what was seen
};

// The one rule for a create's answer: `status_code` empty when none arrived whole, and whether
// a 2xx answer named its batch.
CreateFate create_fate(std::optional<int> status_code, bool names_batch) noexcept;

}  // namespace zantrel::host
