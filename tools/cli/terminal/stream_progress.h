#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/progress.h"

namespace zantrel::cli {

// What the spinner shows of one call, as its observer tells it on the event thread.
struct CallProgress {
  std::atomic<int> phase{-1};  // a ProgressPhase, -1 before the first event
  std::atomic<int> previews{0};
};

// Writes previews on a thread of its own, each file atomically, so that the event thread that
// tells them never waits for a disk.
class PreviewWriter {
 public:
  PreviewWriter();
  // Writes what is still queued, then stops.
  ~PreviewWriter();
  PreviewWriter(const PreviewWriter&) = delete;
  PreviewWriter& operator=(const PreviewWriter&) = delete;

  void add(std::string path, host::Bytes bytes);
  // Waits for the queue to empty; the paths written and the faults, in order.
  std::pair<std::vector<std::string>, std::vector<std::string>> drain();

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::string, host::Bytes>> queue_;
  bool writing_ = false;
  bool stopping_ = false;
  std::vector<std::string> written_;
  std::vector<std::string> faults_;
  std::thread thread_;
};

// The observer of one call: it keeps `progress` and, with a writer, queues each preview as
// `stem`.partial-K.EXT or `stem`.thought-K.EXT.
host::ProgressObserver observe_call(CallProgress& progress, PreviewWriter* writer,
                                    std::string stem);

// The spinner's words for calls in flight: "receiving, 2 previews".
std::string progress_text(std::span<const CallProgress> calls);

}  // namespace zantrel::cli
