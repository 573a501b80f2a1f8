// Hands a few prompts to each service's own batch engine (half the price, within a day), waits
// for the batches, and reads every answer exactly as a call reads its own.
//   service_batches BASE_URL API_KEY SCRATCH_DIR
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "zantrel/host/batches/service_batches.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

using zantrel::host::BatchStatus;

// Makes one batch of `requests` on `client`'s engine and gives how many answers held an image.
template <class Client, class Request>
int run_batch(const Client& client, const std::vector<Request>& requests, const std::string& name,
              const std::filesystem::path& scratch) {
  std::vector<zantrel::host::BatchLine> lines;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    // The exact request a call would send, keyed by its place.
    lines.push_back({std::to_string(i), client.prepare(requests[i])});
  }
  const zantrel::host::ServiceBatches batches = client.batches();
  // The non-blocking form: the create runs on the library's event thread.
  const zantrel::host::CreatedBatch created = batches.create_async(lines, name).get();
  if (created.fate != zantrel::host::CreateFate::kMade) {
    // kUnknown: the batch may exist; batches.find(name) tells before anything is sent again.
    std::fprintf(stderr, "%s: not made: %s\n", name.c_str(), created.why.c_str());
    return 0;
  }
  BatchStatus status = batches.get(created.id);
  while (status.phase == BatchStatus::Phase::kWaiting) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    status = batches.get(created.id);
  }
  int images = 0;
  batches.results(created.id, scratch, [&](const zantrel::host::BatchAnswer& answer) {
    const Request& request = requests.at(std::stoul(std::string(answer.key)));
    images += client.result_of(request, answer.status, zantrel::host::to_bytes(answer.text())).ok();
  });
  std::printf("%s: %s, %d of %zu answers with an image\n", name.c_str(), status.state.c_str(),
              images, requests.size());
  return images;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY SCRATCH_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path scratch = std::filesystem::path(argv[3]) / "results.part";
  const std::vector<std::string> prompts = {"a red kite", "a harbour at noon", "a snow owl"};

  const zantrel::image::tavelin::TavelinaClient gemini(argv[1], argv[2]);
  std::vector<zantrel::image::tavelin::GenerationRequest> gemini_requests;
  gemini_requests.reserve(prompts.size());
  for (const std::string& prompt : prompts) gemini_requests.push_back({.prompt = prompt});

  const zantrel::image::corvane::CorvaneClient images(argv[1], argv[2]);
  std::vector<zantrel::image::corvane::ImageRequest> images_requests;
  images_requests.reserve(prompts.size());
  for (const std::string& prompt : prompts) images_requests.push_back({.prompt = prompt});

  const int made = run_batch(gemini, gemini_requests, "example-gemini", scratch) +
                   run_batch(images, images_requests, "example-images", scratch);
  return made == static_cast<int>(2 * prompts.size()) ? 0 : 1;
}
