#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace zantrel::test_support {

// A server on 127.0.0.1 that answers every connection with a status line followed by header
// lines that never end, until the client hangs up. cpp-httplib can't misbehave that way.
class EndlessHeadersServer {
 public:
  EndlessHeadersServer();
  ~EndlessHeadersServer();
  EndlessHeadersServer(const EndlessHeadersServer&) = delete;
  EndlessHeadersServer& operator=(const EndlessHeadersServer&) = delete;

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Header bytes written to the last connection before the client went away.
  std::size_t bytes_sent() const { return sent_; }

 private:
  void serve();

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> sent_{0};
  std::jthread thread_;
};

}  // namespace zantrel::test_support
