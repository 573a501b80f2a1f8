// Cost of handing request bytes to the socket: the images edits form (4 references) through the
// library and libcurl, beside memcpy and beside writing the same bytes to the socket directly.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench/loopback_sink.h"
#include "bench/memcpy_baseline.h"
#include "bench/payloads.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/image/corvane/internal/edit_form.h"

namespace {

using zantrel::bench::image_of;
using zantrel::bench::kMiB;
using zantrel::host::Bytes;

zantrel::image::corvane::ImageParts parts_of(std::size_t size) {
  zantrel::image::corvane::ImageParts parts;
  for (unsigned i = 0; i < 4; ++i) parts.emplace_back("image", image_of(size, i + 1));
  return parts;
}

// The whole edits upload: form building, libcurl reading the parts, the socket.
void BM_EditsUpload(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const auto parts = parts_of(size);
  const nlohmann::ordered_json payload = {
      {"prompt", "the same valley at dusk"}, {"model", "gpt-image-2"}, {"n", 1}};
  zantrel::bench::LoopbackSink sink;
  zantrel::host::CurlHttpClient client;
  const std::string url = sink.url() + "/v1/images/edits";
  for (auto _ : state) {
    zantrel::host::PostRequest request;
    request.body = zantrel::image::corvane::internal::build_edit_form(payload, parts);
    const auto response = client.post(url, request);
    if (response.status_code != 200) state.SkipWithError("sink refused the upload");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size * 4));
}

// The floor: the same number of bytes written to a kept-alive socket with send(), no library.
void BM_SocketWrite(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0)) * kMiB;
  const Bytes body = image_of(size, 1);
  zantrel::bench::LoopbackSink sink;
  const zantrel::bench::Fd socket = zantrel::bench::connect_loopback(sink.port());
  const std::string head = "POST /v1/images/edits HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(size) + "\r\n\r\n";
  for (auto _ : state) {
    if (!zantrel::bench::send_all(socket.get(), head.data(), head.size()) ||
        !zantrel::bench::send_all(socket.get(), body.data(), body.size()) ||
        !zantrel::bench::read_response(socket.get())) {
      state.SkipWithError("sink went away");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_Memcpy(benchmark::State& state) { zantrel::bench::memcpy_baseline(state); }

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SocketWrite)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EditsUpload)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Arg(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_MAIN();
