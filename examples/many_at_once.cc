// Starts several generations at once without a thread each, with a deadline, a retry policy and
// a way to cancel them all, then waits for the results.
//   many_at_once BASE_URL API_KEY COUNT
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <stop_token>
#include <vector>

#include "zantrel/host/result/error_code.h"
#include "zantrel/image/tavelin/tavelina_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY COUNT\n", argv[0]);
    return 2;
  }
  const int count = std::atoi(argv[3]);
  zantrel::image::tavelin::TavelinaClient client(argv[1], argv[2]);

  std::stop_source cancel_all;  // cancel_all.request_stop() ends every call within milliseconds
  zantrel::host::CallOptions options;
  options.stop = cancel_all.get_token();
  options.deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  options.retry = zantrel::host::RetryPolicy{.max_attempts = 3};  // 429, 503, never sent
  std::vector<std::future<zantrel::host::ServiceResult>> calls;
  calls.reserve(count);
  for (int i = 0; i < count; ++i) {
    // Each call runs on the HTTP client's one event thread; this thread is free meanwhile.
    calls.push_back(client.start_async("a lighthouse at dawn", "16:9", "1K", {},
                                       zantrel::image::tavelin::kDefaultModel, options));
  }
  int images = 0;
  for (auto& call : calls) {
    const zantrel::host::ServiceResult result = call.get();
    if (result.ok()) {
      ++images;
    } else {
      std::fprintf(stderr, "failed: %s\n", zantrel::host::to_string(*result.code()).data());
    }
  }
  std::printf("%d of %d calls gave an image\n", images, count);
  return images == count ? 0 : 1;
}
