#include "tools/emulator/connection_drop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace zantrel::emulator {
namespace {

// The port and printed address of one end of an IPv4 or IPv6 socket.
bool end_of(const sockaddr_storage& end, std::string& address, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (end.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(end);  // NOLINT: the socket API's cast
    port = ntohs(v4.sin_port);
    address = inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) ? text : "";
    return true;
  }
  if (end.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(end);  // NOLINT: the socket API's cast
    port = ntohs(v6.sin6_port);
    address = inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) ? text : "";
    return true;
  }
  return false;
}

}  // namespace

bool drop_connection(const std::string& peer_address, int peer_port, int local_port) {
  // The server keeps no map from requests to sockets: find the one by its two ends.
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_storage peer{};
    sockaddr_storage local{};
    socklen_t peer_size = sizeof peer;
    socklen_t local_size = sizeof local;
    // NOLINTNEXTLINE: the socket API takes its generic address type
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) continue;
    // NOLINTNEXTLINE: the socket API takes its generic address type
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0) continue;
    std::string address;
    std::string local_address;
    int port = -1;
    int own_port = -1;
    if (!end_of(peer, address, port) || !end_of(local, local_address, own_port)) continue;
    if (port != peer_port || own_port != local_port || address != peer_address) continue;
    return shutdown(fd, SHUT_RDWR) == 0;
  }
  return false;
}

}  // namespace zantrel::emulator
