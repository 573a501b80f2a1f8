// Three turns of a multi-turn edit with each client, through one function: the conversation is
// kept between requests as a small JSON document with its images as files, as a host keeps one
// across sessions. Then two Gemini turns that share a reference, uploaded once through the Files
// API and named by its link in both.
//   three_turns BASE_URL API_KEY OUT_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "zantrel/host/conversation.h"
#include "zantrel/host/references.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

template <class Request, class Client>
bool three_turns(const Client& client, const std::string& name, const std::filesystem::path& dir) {
  zantrel::host::Conversation conversation;
  for (const char* prompt : {"a fox in a meadow", "now make it night", "move the fox left"}) {
    zantrel::host::CallReport report;
    zantrel::host::CallOptions options;
    options.report = &report;
    const zantrel::host::ServiceResult result = client.continue_with(
        conversation, Request{.prompt = prompt, .aspect_ratio = "1:1"}, options);
    if (!result.ok()) {
      std::fprintf(stderr, "%s: %s\n", name.c_str(), result.msg().value_or("failed").c_str());
      return false;
    }
    const std::filesystem::path file =
        dir / (name + "-turn-" + std::to_string(*report.turn) + ".png");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(result.bytes()->data()),
               static_cast<std::streamsize>(result.bytes()->size()));
    std::printf("%s turn %d: %s\n", name.c_str(), *report.turn, file.filename().c_str());
    // Saved and read back: the images once each, as files; the signatures as answered.
    const nlohmann::ordered_json saved = conversation.to_json(dir / (name + "-images"), dir);
    conversation = zantrel::host::Conversation::from_json(saved, dir);
  }
  std::printf("%s: %zu turns kept\n", name.c_str(), conversation.turns().size());
  return true;
}

// The same reference in every turn: the first turn uploads it, the next names its file.
bool shared_reference(const zantrel::image::tavelin::TavelinaClient& client,
                      const zantrel::host::Bytes& reference) {
  zantrel::host::Conversation conversation;
  for (const char* prompt : {"the fox wears this hat", "now the hat is red"}) {
    zantrel::host::CallReport report;
    zantrel::host::CallOptions options;
    options.report = &report;
    const zantrel::host::ServiceResult result =
        client.continue_with(conversation,
                             {.prompt = prompt,
                              .aspect_ratio = "1:1",
                              .files = std::vector<zantrel::host::Reference>{reference},
                              .upload_references = true},
                             options);
    if (!result.ok()) return false;
    std::printf("shared reference turn %d: %d uploaded, %llu bytes sent\n", *report.turn,
                report.files_uploaded,
                static_cast<unsigned long long>(report.bytes_sent.value_or(0)));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY OUT_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path dir = argv[3];
  std::filesystem::create_directories(dir);
  const zantrel::image::tavelin::TavelinaClient gemini(argv[1], argv[2]);
  const zantrel::image::corvane::CorvaneClient images(argv[1], argv[2]);
  const bool ok = three_turns<zantrel::image::tavelin::GenerationRequest>(gemini, "gemini", dir) &&
                  three_turns<zantrel::image::corvane::ImageRequest>(images, "images", dir) &&
                  shared_reference(
                      gemini, zantrel::host::read_file_bytes((dir / "gemini-turn-1.png").string()));
  return ok ? 0 : 1;
}
