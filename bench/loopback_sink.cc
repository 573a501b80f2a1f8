#include "bench/loopback_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string_view>
#include <utility>

namespace zantrel::bench {
namespace {

constexpr std::string_view kAnswer =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    "Content-Length: 2\r\n\r\n{}";

// Reads up to the end of a message head; returns its Content-Length, or -1 at end of stream.
long read_head(int fd, std::string& pending) {
  char buffer[4096];
  for (;;) {
    if (const auto end = pending.find("\r\n\r\n"); end != std::string::npos) {
      long length = 0;
      const std::string head = pending.substr(0, end);
      for (std::string_view key : {"Content-Length:", "content-length:"}) {
        if (const auto at = head.find(key); at != std::string::npos) {
          length = std::stol(head.substr(at + key.size()));
        }
      }
      pending.erase(0, end + 4);
      return length;
    }
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return -1;
    pending.append(buffer, static_cast<std::size_t>(got));
  }
}

bool skip_body(int fd, std::string& pending, long length) {
  std::vector<char> buffer(std::size_t{1} << 20);
  std::size_t left = static_cast<std::size_t>(length);
  const std::size_t from_pending = std::min(left, pending.size());
  pending.erase(0, from_pending);
  left -= from_pending;
  while (left > 0) {
    const ssize_t got = ::recv(fd, buffer.data(), std::min(left, buffer.size()), 0);
    if (got <= 0) return false;
    left -= static_cast<std::size_t>(got);
  }
  return true;
}

void serve(int connection) {
  std::string pending;
  for (;;) {
    const long length = read_head(connection, pending);
    if (length < 0 || !skip_body(connection, pending, length)) return;
    if (!send_all(connection, kAnswer.data(), kAnswer.size())) return;
  }
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

LoopbackSink::LoopbackSink() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
  if (listener_.get() < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_.get(), 64) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("could not listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::jthread([this] { accept_loop(); });
}

LoopbackSink::~LoopbackSink() {
  stopping_ = true;
  ::shutdown(listener_.get(), SHUT_RDWR);
  acceptor_ = {};  // no new connections from here on
  for (const Fd& socket : sockets_) ::shutdown(socket.get(), SHUT_RDWR);
  connections_.clear();
}

std::string LoopbackSink::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackSink::accept_loop() {
  while (!stopping_) {
    pollfd waiting{listener_.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 100) <= 0) continue;
    Fd connection(::accept(listener_.get(), nullptr, nullptr));
    if (connection.get() < 0) continue;
    const int fd = connection.get();
    sockets_.push_back(std::move(connection));
    connections_.emplace_back([fd] { serve(fd); });
  }
}

Fd connect_loopback(int port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (fd.get() < 0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("could not connect to the sink");
  }
  const int on = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

bool send_all(int fd, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, at, size, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    at += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool read_response(int fd) {
  std::string pending;
  const long length = read_head(fd, pending);
  return length >= 0 && skip_body(fd, pending, length);
}

}  // namespace zantrel::bench
