#include "tools/cli/terminal/stream_progress.h"

#include <algorithm>

#include "tools/cli/output/image_output.h"
#include "zantrel/host/images/image_mime.h"

namespace zantrel::cli {

PreviewWriter::PreviewWriter() : thread_([this] { run(); }) {}

PreviewWriter::~PreviewWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PreviewWriter::add(std::string path, host::Bytes bytes) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(std::move(path), std::move(bytes));
  }
  changed_.notify_all();
}

std::pair<std::vector<std::string>, std::vector<std::string>> PreviewWriter::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !writing_; });
  return {written_, faults_};
}

void PreviewWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto [path, bytes] = std::move(queue_.front());
    queue_.pop_front();
    writing_ = true;
    lock.unlock();
    std::string fault;
    try {
      // A preview is replaced by the next: no need to wait for the disk.
      write_file_atomically(path, bytes, Durability::kCached);
    } catch (const std::exception& e) {
      fault = e.what();
    }
    lock.lock();
    writing_ = false;
    (fault.empty() ? written_ : faults_).push_back(fault.empty() ? path : fault);
    changed_.notify_all();
  }
}

host::ProgressObserver observe_call(CallProgress& progress, PreviewWriter* writer,
                                    std::string stem) {
  return [&progress, writer, stem = std::move(stem)](const host::ProgressEvent& event) {
    progress.phase.store(static_cast<int>(event.phase));
    if (event.preview == nullptr) return;
    progress.previews.fetch_add(1);
    if (writer == nullptr) return;
    const host::Preview& preview = *event.preview;
    const auto mime = host::sniff_image_mime(preview.bytes);
    writer->add(stem + (preview.kind == host::Preview::Kind::kThought ? ".thought-" : ".partial-") +
                    std::to_string(preview.index) + "." + std::string(host::image_extension(mime)),
                host::Bytes(preview.bytes.begin(), preview.bytes.end()));
  };
}

std::string progress_text(std::span<const CallProgress> calls) {
  int phase = -1;
  int previews = 0;
  for (const CallProgress& call : calls) {
    // The calls' least advanced phase: what the run still waits for.
    const int own = call.phase.load();
    if (own >= 0) phase = phase < 0 ? own : std::min(phase, own);
    previews += call.previews.load();
  }
  if (phase < 0) return "";
  std::string text(host::to_string(static_cast<host::ProgressPhase>(phase)));
  if (previews > 0) {
    text += ", " + std::to_string(previews) + (previews == 1 ? " preview" : " previews");
  }
  return text;
}

}  // namespace zantrel::cli
