#pragma once

#include "zantrel/host/http/http_client.h"
#include "zantrel/host/progress.h"

namespace zantrel::host::internal {

// Passes what a call's exchanges say of their progress, and the previews its answer shows, to
// the call's observer. Everything runs on the thread that drives the exchange.
class ProgressRelay {
 public:
  explicit ProgressRelay(const ProgressObserver& observer) : observer_(observer) {}
  ProgressRelay(const ProgressRelay&) = delete;
  ProgressRelay& operator=(const ProgressRelay&) = delete;

  bool wanted() const noexcept { return static_cast<bool>(observer_); }

  // For a request: tells the observer of the exchange's phase and bytes. Empty when nobody
  // listens. The relay must outlive the exchange.
  TransferObserver transfer_observer() {
    if (!wanted()) return {};
    return [this](const TransferProgress& progress) {
      last_ = progress;
      tell(ProgressEvent{progress.phase, progress.bytes_sent, progress.bytes_received, nullptr});
    };
  }

  // A preview of the answer, told with the latest counts.
  void preview(const Preview& preview) {
    if (!wanted()) return;
    tell(
        ProgressEvent{ProgressPhase::kReceiving, last_.bytes_sent, last_.bytes_received, &preview});
  }

 private:
  void tell(const ProgressEvent& event) const noexcept {
    try {
      observer_(event);
    } catch (...) {
      // An observer's failure is not the call's.
    }
  }

  const ProgressObserver& observer_;
  TransferProgress last_;
};

}  // namespace zantrel::host::internal
