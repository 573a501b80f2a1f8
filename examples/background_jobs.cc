// Runs a call as a job the service holds: submits it, keeps the job as text (as a host would in
// its database), then, as a later process would, reads the job back, asks its state and collects
// the image. No exchange stays open while the image is made. Then the same on the images
// service, in one call (`background`), and a job cancelled before it ends.
//   background_jobs BASE_URL API_KEY OUT_FILE
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

bool failed(const zantrel::host::ServiceResult& result, const char* what) {
  if (result.ok()) return false;
  std::fprintf(stderr, "%s failed: %s %s\n", what, zantrel::host::to_string(*result.code()).data(),
               result.msg().value_or("").c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY OUT_FILE\n", argv[0]);
    return 2;
  }
  using namespace std::chrono_literals;
  const zantrel::image::tavelin::TavelinaClient gemini(argv[1], argv[2]);
  const zantrel::image::tavelin::GenerationRequest request{.prompt = "a lighthouse in a storm",
                                                           .aspect_ratio = "16:9"};

  // One short exchange: the service takes the job and names it.
  const zantrel::host::JobSubmission submitted = gemini.submit(request);
  if (failed(submitted.result, "submit")) return 1;
  const std::string kept = submitted.job->to_text();
  std::printf("submitted %s\n", submitted.job->id.c_str());

  // Later, perhaps in another process: the job from its text, its state, then its image.
  const zantrel::host::JobRef job = zantrel::host::JobRef::from_text(kept);
  std::printf("state: %s\n", to_string(gemini.job_status(job).phase).data());
  zantrel::host::CallOptions options;
  zantrel::host::CallReport report;
  options.report = &report;
  options.deadline = std::chrono::steady_clock::now() + 10min;  // polls stop here at the latest
  const zantrel::host::ServiceResult image = gemini.collect(job, options);
  if (failed(image, "collect")) return 1;
  const zantrel::host::Bytes& bytes = *image.bytes();
  std::ofstream(argv[3], std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  std::printf("collected %zu bytes after %d polls, %lld output tokens\n", bytes.size(),
              report.job->polls, static_cast<long long>(report.usage.output_tokens.value_or(0)));

  // Submit and collect in one call, on the images service's Responses API.
  const zantrel::image::corvane::CorvaneClient images(argv[1], argv[2]);
  zantrel::host::CallOptions background;
  background.background = true;
  const zantrel::host::ServiceResult drawn =
      images.start({.prompt = "a lighthouse at dawn", .aspect_ratio = "1:1"}, background);
  if (failed(drawn, "background call")) return 1;
  std::printf("images: %zu bytes from one background call\n", drawn.bytes()->size());

  // A job no longer wanted: cancelled, and collecting it says so.
  const zantrel::host::JobSubmission unwanted = images.submit({.prompt = "a second lighthouse"});
  if (failed(unwanted.result, "submit")) return 1;
  const zantrel::host::JobStatus after = images.cancel(*unwanted.job);
  std::printf("after cancel: %s\n", after.state.c_str());
  return 0;
}
