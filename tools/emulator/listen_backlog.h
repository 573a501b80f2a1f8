#pragma once

namespace zantrel::emulator {

// cpp-httplib 0.11 listens with a backlog of 5, so a burst of new connections (32 clients
// starting together) loses SYNs and waits a second for the retry. Finds this process's socket
// listening on 127.0.0.1:`port` and raises its backlog; false when none was found.
bool widen_listen_backlog(int port);

}  // namespace zantrel::emulator
