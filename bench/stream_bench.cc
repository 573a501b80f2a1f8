// Streamed calls through libcurl, for what a microbenchmark can't show:
//   stream_bench memory images|gemini URL
//                          peak RSS growth of one streamed call whose final event is the
//                          emulator's large image (another process), beside the event's size
//   stream_bench preview-latency
//                          from the moment a loopback server writes the first byte of a partial
//                          image event to the observer's call with it, over 20 calls
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/process_memory.h"
#include "tools/emulator/picture.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/files/file_descriptor.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using zantrel::bench::reset_peak;
using zantrel::bench::status_kib;

// One streamed call against an emulator answering a large image: its final event is that
// image's base64, the most a stream holds at once.
int memory(const std::string& service, const std::string& url) {
  zantrel::host::CallOptions options;
  options.stream = true;
  // The library's one-time set-up (libcurl, TLS, the event engine) is not the stream's: a call
  // to a closed port makes it first.
  (void)zantrel::image::corvane::CorvaneClient("http://127.0.0.1:1", "bench-key")
      .start({.prompt = "warm-up"}, options);
  reset_peak();
  const long before = status_kib("VmRSS:");
  const auto result =
      service == "gemini"
          ? zantrel::image::tavelin::TavelinaClient(url, "bench-key")
                .start(zantrel::image::tavelin::GenerationRequest{.prompt = "a valley at dawn"},
                       options)
          : zantrel::image::corvane::CorvaneClient(url, "bench-key")
                .start({.prompt = "a valley at dawn", .partial_images = 2}, options);
  const long peak = status_kib("VmHWM:");
  if (!result.ok()) {
    std::fprintf(stderr, "call failed: %s\n", result.msg().value_or("").c_str());
    return 1;
  }
  const std::size_t event = zantrel::host::base64_encoded_size(result.bytes()->size());
  std::printf(R"({"rss_growth_bytes":%ld,"event_bytes":%zu})"
              "\n",
              (peak - before) * 1024, event);
  return 0;
}

bool send_all(int fd, const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

std::string chunk(const std::string& data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + data + "\r\n";
}

// Reads one request (head and Content-Length body) from `fd`.
bool read_request(int fd) {
  std::string in;
  char buffer[65536];
  std::size_t head_end = std::string::npos;
  std::size_t length = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    in.append(buffer, static_cast<std::size_t>(n));
    if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
      std::string head = in.substr(0, head_end);
      std::transform(head.begin(), head.end(), head.begin(), ::tolower);
      const auto at = head.find("content-length:");
      if (at != std::string::npos) length = std::stoul(head.substr(at + 15));
    }
    if (head_end != std::string::npos && in.size() >= head_end + 4 + length) return true;
  }
}

// A loopback server streaming one partial image, then the final one; notes when the partial's
// first byte goes out.
int preview_latency() {
  constexpr int kCalls = 20;
  const zantrel::host::FileDescriptor listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener.get(), 16) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    std::perror("listen");
    return 1;
  }
  const auto picture = zantrel::emulator::render_png(7, 1024, 1024);
  const std::string partial = "event: image_generation.partial_image\ndata: " +
                              nlohmann::json{{"type", "image_generation.partial_image"},
                                             {"b64_json", zantrel::host::base64_encode(picture)},
                                             {"partial_image_index", 0}}
                                  .dump() +
                              "\n\n";
  const std::string completed = "event: image_generation.completed\ndata: " +
                                nlohmann::json{{"type", "image_generation.completed"},
                                               {"b64_json", zantrel::host::base64_encode(picture)}}
                                    .dump() +
                                "\n\ndata: [DONE]\n\n";
  std::atomic<std::int64_t> first_byte_ns{0};
  std::thread server([&] {
    for (int i = 0; i < kCalls; ++i) {
      const zantrel::host::FileDescriptor fd(::accept(listener.get(), nullptr, nullptr));
      if (fd.get() < 0 || !read_request(fd.get())) return;
      const int one = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      send_all(fd.get(),
               "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
               "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
      // The client is waiting when the preview comes, as it is for a real one.
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      first_byte_ns = Clock::now().time_since_epoch().count();
      send_all(fd.get(), chunk(partial));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      send_all(fd.get(), chunk(completed) + "0\r\n\r\n");
    }
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const zantrel::image::corvane::CorvaneClient client(url, "bench-key");
  std::vector<double> latencies_ms;
  int failed = 0;
  for (int i = 0; i < kCalls; ++i) {
    std::int64_t told_ns = 0;
    zantrel::host::CallOptions options;
    options.stream = true;
    options.on_progress = [&](const zantrel::host::ProgressEvent& event) {
      if (event.preview != nullptr && told_ns == 0) {
        told_ns = Clock::now().time_since_epoch().count();
      }
    };
    const auto result = client.start({.prompt = "a fox", .partial_images = 1}, options);
    if (!result.ok() || told_ns == 0) {
      ++failed;
      continue;
    }
    latencies_ms.push_back(static_cast<double>(told_ns - first_byte_ns.load()) / 1e6);
  }
  server.join();
  if (latencies_ms.empty()) return 1;
  std::sort(latencies_ms.begin(), latencies_ms.end());
  std::printf(R"({"median_ms":%.3f,"max_ms":%.3f,"preview_bytes":%zu,"calls":%d,"failed":%d})"
              "\n",
              latencies_ms[latencies_ms.size() / 2], latencies_ms.back(), picture.size(), kCalls,
              failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "memory" && argc == 4) return memory(argv[2], argv[3]);
  if (mode == "preview-latency" && argc == 2) return preview_latency();
  std::fprintf(stderr,
               "usage: stream_bench memory images|gemini URL | stream_bench preview-latency\n");
  return 2;
}
