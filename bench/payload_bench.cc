// Per-byte cost of building request bodies and reading responses, each beside the codec
// baseline it is compared with (ratios are taken from one run by scripts/bench.sh).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/memcpy_baseline.h"
#include "bench/payloads.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/image/corvane/internal/images_response.h"
#include "zantrel/image/corvane/internal/model_checks.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/internal/gemini_response.h"

namespace {

using zantrel::bench::gemini_body_with;
using zantrel::bench::image_of;
using zantrel::bench::images_body_with;
using zantrel::bench::kMiB;
using zantrel::bench::references;
using zantrel::host::Bytes;

void BM_Memcpy(benchmark::State& state) { zantrel::bench::memcpy_baseline(state); }

void BM_OpenSslEncode(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const Bytes source = image_of(size, 1);
  std::string out(zantrel::host::base64_encoded_size(size) + 1, '\0');
  for (auto _ : state) {
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), source.data(),
                    static_cast<int>(size));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_OpenSslDecode(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const std::string text = zantrel::host::base64_encode(image_of(size, 1));
  Bytes out(text.size() / 4 * 3);
  for (auto _ : state) {
    EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                    static_cast<int>(text.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The library's own codec on the same data: what the parsing around it adds is measured
// against this.
void BM_OwnEncode(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const Bytes source = image_of(size, 1);
  std::string out(zantrel::host::base64_encoded_size(size) + 1, '\0');
  for (auto _ : state) {
    zantrel::host::base64_encode_into(source, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_OwnDecode(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const std::string text = zantrel::host::base64_encode(image_of(size, 1));
  for (auto _ : state) {
    Bytes out = zantrel::host::base64_decode(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Four references of range(0) MiB each: the bytes posted for a Gemini request.
void BM_GeminiRequestBody(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const auto images = references(4, size);
  for (auto _ : state) {
    Bytes body = zantrel::image::tavelin::internal::write_gemini_body("a valley at dawn", images,
                                                                      "16:9", "2K");
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size * 4));
}

// The same request as the HTTP client sends it: the body's segments produced into a 512 KiB
// upload buffer, one buffer at a time, with nothing held whole.
void BM_GeminiUpload(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const auto images = references(4, size);
  std::vector<char> upload(512 * 1024);
  for (auto _ : state) {
    const auto body =
        zantrel::image::tavelin::internal::gemini_body("a valley at dawn", images, "16:9", "2K");
    zantrel::host::StreamedBodyReader reader(body);
    while (reader.read(upload.data(), upload.size()) != 0) benchmark::DoNotOptimize(upload.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size * 4));
}

// The checks a Gemini call makes of its model, ratio and size before sending (the entry's and
// the generation's), against the catalogue.
void BM_ModelChecks(benchmark::State& state) {
  for (auto _ : state) {
    const auto catalogue = zantrel::config::model_catalogue();
    const auto* model = catalogue->find("gemini-3-pro-image-preview");
    const bool ok = zantrel::config::is_supported_ratio("16:9") &&
                    zantrel::config::is_supported_ratio("16:9") && model->takes_ratio("16:9") &&
                    model->takes_image_size("2K");
    benchmark::DoNotOptimize(ok);
  }
}

// The checks an images call by name makes of every member against the catalogue before sending.
void BM_ImageChecks(benchmark::State& state) {
  const zantrel::image::corvane::ImageRequest request{.prompt = "a valley at dawn",
                                                      .quality = "high",
                                                      .model = "gpt-image-1.5",
                                                      .n = 4,
                                                      .output_format = "webp",
                                                      .output_compression = 80,
                                                      .background = "transparent",
                                                      .moderation = "low",
                                                      .input_fidelity = "high",
                                                      .user = "u-1"};
  for (auto _ : state) {
    const auto catalogue = zantrel::config::model_catalogue();
    const auto refusal = zantrel::image::corvane::internal::parameter_refusal(
        catalogue->find(request.model, zantrel::host::Service::kImages), request, true);
    benchmark::DoNotOptimize(refusal);
  }
}

// A 200 body holding a range(0) MiB image (and a small second one) to the ServiceResult, the
// image decoded into the body's own buffer as the client does (each round on a fresh copy of
// the body, made outside the timing).
void BM_GeminiResponse(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const Bytes body = gemini_body_with(image_of(size, 1));
  Bytes work;
  for (auto _ : state) {
    state.PauseTiming();
    work.reserve(body.capacity());
    work.assign(body.begin(), body.end());
    state.ResumeTiming();
    zantrel::image::tavelin::internal::GeminiResponse response(work);
    auto links = response.file_uris();
    auto scan = response.largest_inline_image(&work);
    auto result = zantrel::host::ServiceResult::success(std::move(*scan.image));
    benchmark::DoNotOptimize(result.bytes()->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// A 200 body whose "b64_json" holds a range(0) MiB image to the ServiceResult.
void BM_ImagesResponse(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const Bytes body = images_body_with(image_of(size, 1));
  Bytes work;
  for (auto _ : state) {
    state.PauseTiming();
    work.reserve(body.capacity());
    work.assign(body.begin(), body.end());
    state.ResumeTiming();
    zantrel::image::corvane::internal::ImagesResponse response(work);
    const auto item = response.first_item();
    auto result = zantrel::host::ServiceResult::success(
        zantrel::host::base64_decode_in_place(work, item.text));
    benchmark::DoNotOptimize(result.bytes()->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslEncode)->Arg(4)->Arg(16)->Arg(32)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslDecode)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OwnEncode)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OwnDecode)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeminiRequestBody)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeminiUpload)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModelChecks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ImageChecks)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GeminiResponse)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ImagesResponse)->Arg(1)->Arg(4)->Arg(8)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
