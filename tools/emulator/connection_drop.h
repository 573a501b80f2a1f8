#pragma once

#include <string>

namespace zantrel::emulator {

// Shuts this process's own end of the TCP connection from `peer_address`:`peer_port` to
// `local_port` (both ways), so that the peer sees it closed with nothing more: no status, no
// byte. True when the connection was found.
bool drop_connection(const std::string& peer_address, int peer_port, int local_port);

}  // namespace zantrel::emulator
