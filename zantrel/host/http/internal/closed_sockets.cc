#include "zantrel/host/http/internal/closed_sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/tcp.h>
#endif

namespace zantrel::host::internal {
namespace {

long local_port_of(curl_socket_t socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

// Whether the peer acknowledged data sent on `socket`; nothing when the kernel can't say.
std::optional<bool> peer_acknowledged(curl_socket_t socket) {
#ifdef __linux__
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) {
    return std::nullopt;
  }
  // The count includes the handshake's own byte.
  return info.tcpi_bytes_acked > 1;
#else
  (void)socket;
  return std::nullopt;
#endif
}

}  // namespace

int ClosedSockets::close_socket(void* self, curl_socket_t socket) {
  if (self != nullptr) {
    auto& closed = *static_cast<ClosedSockets*>(self);
    const long port = local_port_of(socket);
    const auto acknowledged = peer_acknowledged(socket);
    std::lock_guard lock(closed.mutex_);
    if (port >= 0 && acknowledged) {
      closed.records_[socket] = Record{port, *acknowledged};
    } else {
      closed.records_.erase(socket);
    }
  }
  return close(socket);
}

void ClosedSockets::opened(curl_socket_t socket) {
  std::lock_guard lock(mutex_);
  records_.erase(socket);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libcurl's types
std::optional<bool> ClosedSockets::acknowledged(curl_socket_t socket, long local_port) const {
  std::lock_guard lock(mutex_);
  const auto found = records_.find(socket);
  if (found == records_.end() || found->second.local_port != local_port) return std::nullopt;
  return found->second.acknowledged;
}

}  // namespace zantrel::host::internal
