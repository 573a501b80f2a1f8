// Generates one image with the Gemini client and writes it to a file.
//   gemini_generate BASE_URL API_KEY OUT_FILE
#include <cstdio>
#include <fstream>

#include "zantrel/host/catalogue_refresh.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/tavelin/tavelina_client.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY OUT_FILE\n", argv[0]);
    return 2;
  }
  // The models the services listed at the user's last `zantrel-image models --refresh`.
  if (auto why = zantrel::config::use_cached_model_catalogue())
    std::fprintf(stderr, "%s\n", why->c_str());
  zantrel::image::tavelin::TavelinaClient client(argv[1], argv[2]);

  zantrel::host::CallOptions options;
  options.task_id = "example-1";     // copied into the client's log records, never sent
  zantrel::host::CallReport report;  // what the call did and cost, beside its result
  options.report = &report;
  zantrel::host::ServiceResult result = client.start(
      "a lighthouse at dawn", "16:9", "1K", {}, zantrel::image::tavelin::kDefaultModel, options);
  if (!result.ok()) {
    std::fprintf(stderr, "failed: %s %s\n", zantrel::host::to_string(*result.code()).data(),
                 result.msg().value_or("").c_str());
    // Safe to send again only when the request never reached the service.
    if (report.delivery == zantrel::host::Delivery::kNotSent) std::fprintf(stderr, "not sent\n");
    if (report.retry_after_s) std::fprintf(stderr, "retry after %.1f s\n", *report.retry_after_s);
    return 1;
  }
  std::printf("%s, %lld output tokens\n", zantrel::host::to_string(report.delivery).data(),
              static_cast<long long>(report.usage.output_tokens.value_or(0)));
  if (report.cost) {  // estimated from the tokens counted and the catalogue's price table
    std::printf("about $%.4f at the prices of %s\n", report.cost->usd,
                report.cost->prices_as_of.c_str());
  }
  if (const zantrel::host::Bytes* image = result.bytes()) {
    std::ofstream(argv[3], std::ios::binary)
        .write(reinterpret_cast<const char*>(image->data()),
               static_cast<std::streamsize>(image->size()));
    std::printf("wrote %zu bytes to %s\n", image->size(), argv[3]);
  } else {
    // The service answered with a link that could not be fetched: the link itself is the result.
    std::printf("image link: %s\n", result.link()->c_str());
  }

  // Every parameter by name, the service's own beyond the contract's among them; what the model
  // does not take is refused before anything is sent.
  zantrel::host::CallReport seeded_report;
  zantrel::host::CallOptions seeded_options;
  seeded_options.report = &seeded_report;
  const zantrel::host::ServiceResult seeded = client.start({.prompt = "a lighthouse at dusk, wide",
                                                            .aspect_ratio = "4:1",
                                                            .image_size = "512",
                                                            .model = "gemini-3.1-flash-image",
                                                            .seed = 7,
                                                            .with_text = true},
                                                           seeded_options);
  std::printf("seeded: %s, the model said: %s\n", seeded.ok() ? "ok" : "failed",
              seeded_report.text.value_or("nothing").c_str());
  return seeded.ok() ? 0 : 1;
}
