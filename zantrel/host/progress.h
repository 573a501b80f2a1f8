#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::host {

using ProgressPhase = TransferProgress::Phase;

// "connecting", "uploading", "waiting", "receiving".
std::string_view to_string(ProgressPhase phase) noexcept;

// A picture a streamed answer showed before its final image.
struct Preview {
  enum class Kind {
    kPartial,  // images API: a partial image
    kThought,  // Gemini: an interim image of the model's thinking
  };
  Kind kind = Kind::kPartial;
  int index = 1;          // 1 for the first of its kind
  std::optional<int> of;  // the partial images asked, when known
  std::string mime_type;  // e.g. "image/png"; empty when unknown
  ByteView bytes;         // valid during the observer's call only
};

// "partial 1 of 2", "thought image 1".
std::string describe(const Preview& preview);

// What a call's progress observer is told: the phase of its request and its bytes so far, and
// each preview as it arrives (`preview` set).
struct ProgressEvent {
  ProgressPhase phase = ProgressPhase::kConnecting;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  const Preview* preview = nullptr;
};

// Runs on the thread that drives the exchange: the caller's for a blocking call, the HTTP
// client's event thread for a non-blocking one. Like a ResultCallback it must not block (every
// call in flight on that thread waits while it runs); what it throws is dropped.
using ProgressObserver = std::function<void(const ProgressEvent&)>;

}  // namespace zantrel::host
