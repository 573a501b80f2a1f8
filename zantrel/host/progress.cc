#include "zantrel/host/progress.h"

namespace zantrel::host {

std::string_view to_string(ProgressPhase phase) noexcept {
  switch (phase) {
    case ProgressPhase::kConnecting:
      return "connecting";
    case ProgressPhase::kUploading:
      return "uploading";
    case ProgressPhase::kWaiting:
      return "waiting";
    case ProgressPhase::kReceiving:
      return "receiving";
  }
  return "connecting";
}

std::string describe(const Preview& preview) {
  if (preview.kind == Preview::Kind::kThought) {
    return "thought image " + std::to_string(preview.index);
  }
  std::string text = "partial " + std::to_string(preview.index);
  if (preview.of) text += " of " + std::to_string(*preview.of);
  return text;
}

}  // namespace zantrel::host
