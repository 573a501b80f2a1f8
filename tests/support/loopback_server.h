#pragma once

#include <httplib.h>

#include <string>
#include <thread>

namespace zantrel::test_support {

// A cpp-httplib server on 127.0.0.1 and a free port, serving on its own thread for the lifetime
// of this object. Routes are added to `http` before start().
class LoopbackServer {
 public:
  LoopbackServer() = default;
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer() { stop(); }

  void start();
  void stop();
  int port() const { return port_; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  httplib::Server http;

 private:
  int port_ = 0;
  std::thread thread_;
};

}  // namespace zantrel::test_support
