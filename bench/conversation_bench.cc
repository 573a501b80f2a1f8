// Bytes a conversation sends per turn when its references go through the Files API, beside the
// same turn sent inline:
//   conversation_bench URL
// Ten turns, each with the same four 8 MiB references (uploaded by the first turn, named by link
// after it). Prints one JSON object: each turn's bytes sent, bytes uploaded and inline size.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/emulator/picture.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

constexpr int kTurns = 10;
constexpr int kReferences = 4;
constexpr std::size_t kReferenceBytes = std::size_t{8} << 20;

// A picture padded to 8 MiB with seeded bytes (a PNG reader stops at its end chunk).
zantrel::host::Bytes reference(std::uint64_t seed) {
  zantrel::host::Bytes png = zantrel::emulator::render_png(seed, 512, 512);
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull;
  while (png.size() < kReferenceBytes) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    png.push_back(static_cast<std::uint8_t>(state >> 56));
  }
  return png;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s URL\n", argv[0]);
    return 2;
  }
  using namespace zantrel;
  std::vector<host::Reference> files;
  std::vector<host::Bytes> images;
  for (int k = 0; k < kReferences; ++k) {
    images.push_back(reference(static_cast<std::uint64_t>(k) + 1));
    files.emplace_back(images.back());
  }
  const image::tavelin::TavelinaClient client(argv[1], "bench-key");
  host::Conversation conversation;
  nlohmann::ordered_json turns = nlohmann::ordered_json::array();
  double worst = 0;
  for (int turn = 1; turn <= kTurns; ++turn) {
    const image::tavelin::GenerationRequest request{
        .prompt = "the four of them at the table, take " + std::to_string(turn),
        .aspect_ratio = "1:1",
        .files = files,
        .upload_references = true};
    // What the same turn would post with every image inline.
    const std::size_t inline_bytes = image::tavelin::internal::gemini_body(
                                         request.prompt, images, request.aspect_ratio,
                                         request.image_size, true, &request, conversation.turns())
                                         .size();
    host::CallReport report;
    host::CallOptions options;
    options.report = &report;
    const auto result = client.continue_with(conversation, request, options);
    if (!result.ok() || !report.bytes_sent) {
      std::fprintf(stderr, "turn %d failed: %s\n", turn, result.msg().value_or("").c_str());
      return 1;
    }
    const std::uint64_t sent = *report.bytes_sent + report.file_bytes_uploaded;
    if (turn > 1) worst = std::max(worst, static_cast<double>(sent) / inline_bytes);
    turns.push_back({{"turn", turn},
                     {"bytes_sent", sent},
                     {"file_bytes_uploaded", report.file_bytes_uploaded},
                     {"inline_bytes", inline_bytes}});
  }
  std::printf(
      "%s\n",
      nlohmann::ordered_json{{"turns", turns}, {"worst_ratio_after_first", worst}}.dump().c_str());
  return 0;
}
