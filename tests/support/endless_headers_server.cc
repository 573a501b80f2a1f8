#include "tests/support/endless_headers_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

namespace zantrel::test_support {

EndlessHeadersServer::EndlessHeadersServer() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("could not listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::jthread([this] { serve(); });
}

EndlessHeadersServer::~EndlessHeadersServer() {
  stopping_ = true;
  thread_ = {};
  ::close(listener_);
}

void EndlessHeadersServer::serve() {
  static constexpr char kStatus[] = "HTTP/1.1 200 OK\r\n";
  const std::string line = "X-Filler: " + std::string(1000, 'x') + "\r\n";
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 50) <= 0) continue;
    const int connection = ::accept(listener_, nullptr, nullptr);
    if (connection < 0) continue;
    // A client that stops reading without hanging up must not stall the server for ever.
    const timeval limit{2, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::size_t sent = 0;
    bool open = ::send(connection, kStatus, sizeof kStatus - 1, MSG_NOSIGNAL) > 0;
    while (open && !stopping_) {
      const ssize_t n = ::send(connection, line.data(), line.size(), MSG_NOSIGNAL);
      open = n > 0;
      if (open) sent += static_cast<std::size_t>(n);
    }
    sent_ = sent;
    ::close(connection);
  }
}

}  // namespace zantrel::test_support
