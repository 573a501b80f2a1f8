// Streamed bodies: the reader's bytes over every base64 tail and read size, resends from any
// position, and the curl client sending one larger than its upload buffer, or losing the
// connection halfway.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "tests/support/loopback_server.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/codec/sha256.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/host/result/transfer_facts.h"
#include "zantrel/version.h"

namespace zantrel::test_support {
namespace {

host::Bytes random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  host::Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(random());
  return out;
}

// Reads the whole body `chunk` bytes at a time, as an upload callback would.
std::string read_all(const host::StreamedBody& body, std::size_t chunk) {
  host::StreamedBodyReader reader(body);
  std::string out, buffer(chunk, '\0');
  while (const std::size_t n = reader.read(buffer.data(), chunk)) out.append(buffer, 0, n);
  return out;
}

TEST(StreamedBody, EveryTailAndReadSizeGivesTheExactText) {
  for (std::size_t length = 0; length <= 10; ++length) {
    const host::Bytes image = random_bytes(length, static_cast<unsigned>(length));
    const host::Bytes second = random_bytes(7, 99);
    const host::StreamedBody body{{std::string("{\"a\":\""), host::Base64Of{image},
                                   std::string("\",\"b\":\""), host::Base64Of{second},
                                   host::Base64Of{host::ByteView{}}, host::BytesOf{second},
                                   std::string("\"}")}};
    const std::string expected = "{\"a\":\"" + host::base64_encode(image) + "\",\"b\":\"" +
                                 host::base64_encode(second) + std::string(host::as_text(second)) +
                                 "\"}";
    ASSERT_EQ(body.size(), expected.size()) << length;
    EXPECT_EQ(host::as_text(host::flatten(body)), expected) << length;
    EXPECT_EQ(host::sha256_hex(body), host::sha256_hex(host::as_bytes(expected))) << length;
    for (std::size_t chunk : {1, 2, 3, 4, 5, 6, 7, 9, 64}) {
      EXPECT_EQ(read_all(body, chunk), expected) << length << " by " << chunk;
    }
  }
  // A body larger than the digest's read buffer is read through in several pieces.
  const host::Bytes large = random_bytes(std::size_t{1} << 20, 5);
  const host::StreamedBody body{
      {std::string("{\"a\":\""), host::Base64Of{large}, std::string("\"}")}};
  EXPECT_EQ(host::sha256_hex(body), host::sha256_hex(host::flatten(body)));
}

TEST(StreamedBody, ResendsFromAnyPosition) {
  const host::Bytes image = random_bytes(20, 3);
  const host::StreamedBody body{{std::string("head:"), host::Base64Of{image},
                                 host::BytesOf{host::ByteView(image).first(7)}, std::string(":t")}};
  const std::string whole = read_all(body, 1000);
  for (std::size_t at = 0; at <= whole.size(); ++at) {
    host::StreamedBodyReader reader(body);
    char scratch[3];
    (void)reader.read(scratch, 3);  // some bytes went out before the resend
    ASSERT_TRUE(reader.seek(at)) << at;
    std::string rest, buffer(5, '\0');
    while (const std::size_t n = reader.read(buffer.data(), buffer.size()))
      rest.append(buffer, 0, n);
    EXPECT_EQ(rest, whole.substr(at)) << at;
  }
  host::StreamedBodyReader reader(body);
  EXPECT_FALSE(reader.seek(whole.size() + 1));
}

TEST(StreamedBody, CurlSendsABodyLargerThanItsUploadBuffer) {
  LoopbackServer server;
  std::string received, content_length, user_agent;
  server.http.set_payload_max_length(std::size_t{64} << 20);
  server.http.Post("/sink", [&](const httplib::Request& req, httplib::Response& res) {
    received = req.body;
    content_length = req.get_header_value("Content-Length");
    user_agent = req.get_header_value("User-Agent");
    res.set_content("{}", "application/json");
  });
  server.start();
  const host::Bytes image = random_bytes((3u << 20) + 2, 11);  // 4 MiB of text, a padded tail
  host::PostRequest request;
  request.headers = {{"Content-Type", "application/json"}};
  request.body =
      host::StreamedBody{{std::string("{\"data\":\""), host::Base64Of{image}, std::string("\"}")}};
  request.timeout = host::Timeout::from_seconds(5, 10);
  const auto response = host::CurlHttpClient().post(server.url("/sink"), request);
  EXPECT_EQ(response.status_code, 200);
  const std::string expected = "{\"data\":\"" + host::base64_encode(image) + "\"}";
  EXPECT_EQ(content_length, std::to_string(expected.size()));
  EXPECT_TRUE(received == expected);  // 4 MiB: compared without printing
  EXPECT_EQ(response.transfer.request_sent, true);
  EXPECT_EQ(user_agent, "zantrel/" ZANTREL_VERSION_STRING);
}

// A peer that takes part of the upload and then drops the connection.
class HalfwayPeer {
 public:
  HalfwayPeer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      const int peer = ::accept(fd_, nullptr, nullptr);
      if (peer < 0) return;
      char buffer[1 << 16];
      std::size_t taken = 0;
      while (taken < (std::size_t{256} << 10)) {
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        taken += static_cast<std::size_t>(n);
      }
      // Unread data in the socket makes close() send a reset.
      ::close(peer);
    });
  }
  ~HalfwayPeer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(StreamedBody, AConnectionLostMidUploadFailsAsNotSent) {
  HalfwayPeer peer;
  const host::Bytes image = random_bytes(24u << 20, 5);
  host::PostRequest request;
  request.body =
      host::StreamedBody{{std::string("{\"data\":\""), host::Base64Of{image}, std::string("\"}")}};
  request.timeout = host::Timeout::from_seconds(5, 10);
  try {
    (void)host::CurlHttpClient().post(peer.url(), request);
    FAIL() << "the post succeeded";
  } catch (const host::ConnectionError& e) {
    ASSERT_NE(e.transfer(), nullptr);
    EXPECT_EQ(e.transfer()->request_sent, false);
    EXPECT_LT(e.transfer()->bytes_sent.value_or(0), image.size());
  }
}

}  // namespace
}  // namespace zantrel::test_support
