// A provider batch's results file read into image files, as the runner reads one it has
// downloaded: 1,000 Gemini response lines of a 1 MiB image each (a 2 GB-class file scaled down),
// each read, checked and written with its result line. Against the base64 decode of the same
// images alone (OpenSSL), the floor of any reader; and the peak memory it took.
// Prints one JSON object.
#include <openssl/evp.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bench/process_memory.h"
#include "tools/cli/batch/provider/runner.h"
#include "tools/cli/batch/record.h"
#include "tools/cli/output/image_output.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/codec/base64.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace cli = zantrel::cli;
namespace host = zantrel::host;

constexpr int kLines = 1000;
constexpr std::size_t kImageBytes = std::size_t{1} << 20;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("zantrel-results-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir / "out");

  // A picture padded to 1 MiB with seeded bytes (readers ignore what follows its end chunk);
  // each line's own in its last 8 bytes.
  host::Bytes image = zantrel::emulator::render_png(7, 64, 64);
  std::mt19937_64 random(7);
  const std::size_t picture = image.size();
  image.resize(kImageBytes);
  for (std::size_t at = picture; at < kImageBytes; ++at)
    image[at] = static_cast<std::uint8_t>(random());
  std::vector<std::string> encoded;
  std::size_t line_bytes = 0;
  {
    std::ofstream file(dir / "responses.jsonl", std::ios::binary);
    for (int line = 1; line <= kLines; ++line) {
      std::memcpy(image.data() + kImageBytes - sizeof line, &line, sizeof line);
      const std::string data = host::base64_encode(image);
      const std::string text =
          R"({"key":")" + std::to_string(line) +
          R"(-1","response":{"candidates":[{"content":{"role":"model","parts":[{"text":"Here."},)"
          R"({"inlineData":{"mimeType":"image/png","data":")" +
          data +
          R"("}}]},"finishReason":"STOP","index":0}],"usageMetadata":{"promptTokenCount":9,)"
          R"("candidatesTokenCount":1290,"totalTokenCount":1299},"modelVersion":"m"}})";
      file << text << "\n";
      line_bytes = std::max(line_bytes, text.size() + 1);
      if (line <= 8) encoded.push_back(data);  // the floor decodes these over and over
    }
  }

  std::vector<cli::BatchItem> items(kLines);
  for (int line = 1; line <= kLines; ++line) {
    cli::BatchItem& item = items[static_cast<std::size_t>(line - 1)];
    item.line = line;
    item.name = "image-" + std::to_string(line);
    item.call.service = host::Service::kGemini;
    item.call.prompt = "p";
  }
  cli::CallSetup setup;
  setup.access = {"http://127.0.0.1:9", "k"};
  setup.dialect = host::Dialect::kDirect;
  setup.http = cli::make_http_client(false, std::nullopt);

  // Warm the page cache and the allocator the same way for both.
  {
    std::ifstream(dir / "responses.jsonl", std::ios::binary)
        .ignore(std::numeric_limits<std::streamsize>::max());
  }

  // The floor: base64 decode of as many bytes as the file's images hold.
  std::vector<unsigned char> decoded(kImageBytes + 64);
  const auto floor_start = Clock::now();
  for (int line = 0; line < kLines; ++line) {
    const std::string& data = encoded[static_cast<std::size_t>(line) % encoded.size()];
    EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<int>(data.size()));
  }
  const double floor = seconds_since(floor_start);

  // What any reader must do beside: hash each image and write it to a file of its own.
  const auto work_start = Clock::now();
  for (int line = 0; line < kLines; ++line) {
    const std::string& data = encoded[static_cast<std::size_t>(line) % encoded.size()];
    EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(data.data()),
                    static_cast<int>(data.size()));
    const host::ByteView bytes(decoded.data(), kImageBytes);
    cli::sha256_hex(bytes);
    cli::write_file_atomically((dir / "out" / ("floor-" + std::to_string(line) + ".png")).string(),
                               bytes, cli::Durability::kCached);
  }
  const double work_floor = seconds_since(work_start);
  for (int line = 0; line < kLines; ++line) {
    std::filesystem::remove(dir / "out" / ("floor-" + std::to_string(line) + ".png"));
  }

  // The reading alone, without the results' checks and files.
  const auto scan_start = Clock::now();
  std::size_t scanned = 0;
  cli::gemini_client(setup).batches().read_results_file(
      dir / "responses.jsonl",
      [&](const host::BatchAnswer& answer) { scanned += answer.text().size(); });
  const double scan = seconds_since(scan_start);

  cli::BatchTally tally;
  cli::ResultsFile results(dir / "out" / "results.jsonl");
  cli::ResultWriter writer(dir / "out", results, tally);
  const nlohmann::ordered_json beside = {{"via", "provider"}, {"batch", "bench"}};
  zantrel::bench::reset_peak();
  const long rss_before = zantrel::bench::status_kib("VmRSS:");
  const auto read_start = Clock::now();
  cli::gemini_client(setup).batches().read_results_file(
      dir / "responses.jsonl", [&](const host::BatchAnswer& answer) {
        const int line = std::stoi(std::string(answer.key));
        const cli::Unit unit{&items[static_cast<std::size_t>(line - 1)], 1, 0};
        cli::record_batch_answer(unit, answer, setup, 0, writer, beside);
      });
  const double read = seconds_since(read_start);
  const long peak = zantrel::bench::status_kib("VmHWM:");

  std::printf(
      "{\"lines\": %d, \"image_bytes\": %zu, \"line_bytes\": %zu, \"ok\": %d, "
      "\"read_seconds\": %.4f, \"scan_seconds\": %.4f, \"decode_floor_seconds\": %.4f, "
      "\"ratio\": %.3f, \"decode_hash_write_floor_seconds\": %.4f, \"work_ratio\": %.3f, "
      "\"peak_growth_bytes\": %ld, \"bound_bytes\": %zu}\n",
      kLines, kImageBytes, line_bytes, tally.ok, read, scan, floor, read / floor, work_floor,
      read / work_floor, (peak - rss_before) * 1024, 2 * line_bytes + (std::size_t{64} << 20));
  std::filesystem::remove_all(dir);
  return tally.ok == kLines ? 0 : 1;
}
