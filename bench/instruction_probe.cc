// Runs the Gemini request building (4 x 1 MiB references) and response reading (a 4 MiB image)
// once each between callgrind client requests, so that a callgrind run counts exactly their
// instructions. Prints the payload bytes of each step as JSON. Outside valgrind it just runs.
#include <valgrind/callgrind.h>

#include <cstdio>

#include "bench/payloads.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"

int main() {
  using namespace zantrel;
  constexpr std::size_t kReference = bench::kMiB;
  constexpr std::size_t kImage = 4 * bench::kMiB;
  const auto images = bench::references(4, kReference);
  const host::Bytes body = bench::gemini_body_with(bench::image_of(kImage, 1));

  CALLGRIND_ZERO_STATS;
  const host::Bytes request =
      image::tavelin::internal::write_gemini_body("a valley at dawn", images, "16:9", "2K");
  CALLGRIND_DUMP_STATS_AT("request");

  image::tavelin::internal::GeminiResponse response(body);
  const auto links = response.file_uris();
  auto scan = response.largest_inline_image();
  const auto result = host::ServiceResult::success(std::move(*scan.image));
  CALLGRIND_DUMP_STATS_AT("response");

  if (request.empty() || !links.first.empty() || result.bytes()->size() != kImage) return 1;
  std::printf(R"({"request_bytes":%zu,"response_bytes":%zu})"
              "\n",
              4 * kReference, kImage);
  return 0;
}
