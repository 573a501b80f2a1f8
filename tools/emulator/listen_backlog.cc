#include "tools/emulator/listen_backlog.h"

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace zantrel::emulator {

bool widen_listen_backlog(int port) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return false;
  const int last = files.rlim_cur > 65536 ? 65536 : static_cast<int>(files.rlim_cur);
  for (int fd = 3; fd < last; ++fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) {
      continue;
    }
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.ss_family != AF_INET) {
      continue;
    }
    const auto& inet = reinterpret_cast<const sockaddr_in&>(address);
    // Calling listen() again on a listening socket only changes its backlog.
    if (ntohs(inet.sin_port) == port) return ::listen(fd, SOMAXCONN) == 0;
  }
  return false;
}

}  // namespace zantrel::emulator
