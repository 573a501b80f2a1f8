#pragma once

// Not installed: what the kernel knew of each socket libcurl closed.

#include <curl/curl.h>

#include <mutex>
#include <optional>
#include <unordered_map>

namespace zantrel::host::internal {

// Closes libcurl's sockets for a client (CURLOPT_CLOSESOCKETFUNCTION with this as its data) and
// keeps, by descriptor, whether the peer's TCP acknowledged any byte sent on it. A connection
// reset with nothing acknowledged means the request never reached the server (a server whose
// listen queue overflowed resets such connections without having taken them): the exchange
// failed before sending and may be sent again. libcurl closes a failed connection before the
// transfer's outcome is read, hence the record. Must outlive every libcurl handle whose
// connections it closes; safe to share between threads.
class ClosedSockets {
 public:
  static int close_socket(void* self, curl_socket_t socket);
  // A connection now uses `socket`: what was kept of an earlier one goes.
  void opened(curl_socket_t socket);

  // Whether the socket `socket`, last seen on local port `local_port`, had any byte it sent
  // acknowledged when it closed; nothing when unknown.
  std::optional<bool> acknowledged(curl_socket_t socket, long local_port) const;

 private:
  struct Record {
    long local_port = -1;
    bool acknowledged = true;
  };
  mutable std::mutex mutex_;
  std::unordered_map<curl_socket_t, Record> records_;
};

}  // namespace zantrel::host::internal
