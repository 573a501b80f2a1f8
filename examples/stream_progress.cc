// Streams an images call and prints how it goes: each phase of the request once, each partial
// image as it arrives, then the final image.
//   stream_progress BASE_URL API_KEY OUT_FILE
#include <cstdio>
#include <fstream>
#include <optional>

#include "zantrel/host/progress.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY OUT_FILE\n", argv[0]);
    return 2;
  }
  const zantrel::image::corvane::CorvaneClient client(argv[1], argv[2]);

  zantrel::host::CallOptions options;
  options.stream = true;
  zantrel::host::CallReport report;
  options.report = &report;
  std::optional<zantrel::host::ProgressPhase> shown;
  // Runs on the thread that drives the exchange (this one, for a blocking call): it must be
  // quick. A preview's bytes are valid during the call only; keep a copy to use them later.
  options.on_progress = [&shown](const zantrel::host::ProgressEvent& event) {
    if (event.preview != nullptr) {
      std::printf("preview: %s, %s, %zu bytes\n", zantrel::host::describe(*event.preview).c_str(),
                  event.preview->mime_type.c_str(), event.preview->bytes.size());
      return;
    }
    if (shown == event.phase) return;
    shown = event.phase;
    std::printf("%s (%llu bytes sent, %llu received)\n",
                zantrel::host::to_string(event.phase).data(),
                static_cast<unsigned long long>(event.bytes_sent),
                static_cast<unsigned long long>(event.bytes_received));
  };

  const zantrel::host::ServiceResult result = client.start(
      {.prompt = "a fox in the snow", .aspect_ratio = "1:1", .partial_images = 2}, options);
  if (!result.ok()) {
    std::fprintf(stderr, "failed: %s %s\n", zantrel::host::to_string(*result.code()).data(),
                 result.msg().value_or("").c_str());
    return 1;
  }
  // Still one result: the final image, the same as the call unstreamed would give.
  const zantrel::host::Bytes& image = *result.bytes();
  std::ofstream(argv[3], std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  std::printf(
      "final image: %zu bytes to %s after %d previews (the first after %.2f s), %d events\n",
      image.size(), argv[3], report.previews, report.first_preview_s.value_or(0),
      report.stream_events);
  return 0;
}
