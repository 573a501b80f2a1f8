// Edits images with the images API: the references are a file path and bytes already in
// memory, so the client sends a multipart form to /v1/images/edits. Then asks one request for
// two WebP images by name.
//   images_edit BASE_URL API_KEY REFERENCE_FILE OUT_FILE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "zantrel/host/result/error_code.h"
#include "zantrel/image/corvane/corvane_client.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY REFERENCE_FILE OUT_FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[3], std::ios::binary);
  const std::string loaded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const zantrel::host::Bytes in_memory = zantrel::host::to_bytes(loaded);

  // References in order: a path the client reads itself, then bytes the host already holds.
  // (An "https://" link would be fetched first.)
  const std::vector<zantrel::host::Reference> references = {std::string(argv[3]), in_memory};

  zantrel::image::corvane::CorvaneClient client(argv[1], argv[2]);
  zantrel::image::corvane::ImageCallOptions options;
  options.timeout = zantrel::host::Timeout::from_seconds(10, 300);  // connect, read
  zantrel::host::ServiceResult result =
      client.start("the same scene in watercolour", "3:2", "high", "1k", references, options);
  if (!result.ok()) {
    std::fprintf(stderr, "failed: %s %s\n", zantrel::host::to_string(*result.code()).data(),
                 result.msg().value_or("").c_str());
    return 1;
  }
  const zantrel::host::Bytes image = result.take_bytes();
  std::ofstream(argv[4], std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
  std::printf("edited %zu references into %zu bytes at %s\n", references.size(), image.size(),
              argv[4]);

  // Every parameter by name (`corvane::ImageRequest`): what the model does not take is refused
  // before anything is sent. `images()` holds all the images of the one request.
  zantrel::host::CallReport report;
  zantrel::host::CallOptions by_name;
  by_name.report = &report;
  const zantrel::host::ServiceResult two = client.start({.prompt = "a lighthouse, two takes",
                                                         .aspect_ratio = "16:9",
                                                         .n = 2,
                                                         .output_format = "webp",
                                                         .output_compression = 80,
                                                         .background = "opaque"},
                                                        by_name);
  if (!two.ok()) {
    std::fprintf(stderr, "failed: %s\n", two.msg().value_or("").c_str());
    return 1;
  }
  std::printf("one request gave %zu images, %s, %s\n", two.images().size(),
              report.answer.output_format.value_or("?").c_str(),
              report.answer.size.value_or("?").c_str());
  return 0;
}
