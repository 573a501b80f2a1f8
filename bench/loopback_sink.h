#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zantrel::bench {

// File descriptor owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// An HTTP/1.1 server on 127.0.0.1 that reads each request body and throws it away, then answers
// 200 "{}". It stands for the far end of an upload so a benchmark measures the sending side.
class LoopbackSink {
 public:
  LoopbackSink();
  ~LoopbackSink();
  LoopbackSink(const LoopbackSink&) = delete;
  LoopbackSink& operator=(const LoopbackSink&) = delete;

  int port() const { return port_; }
  std::string url() const;

 private:
  void accept_loop();

  Fd listener_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  // Sockets outlive their threads: the destructor shuts them down, joins, then closes.
  std::vector<Fd> sockets_;
  std::vector<std::jthread> connections_;
  std::jthread acceptor_;
};

// Opens a TCP connection to 127.0.0.1:port.
Fd connect_loopback(int port);

// Sends all of `data`; false when the peer went away.
bool send_all(int fd, const void* data, std::size_t size);

// Reads one response's head and its Content-Length body; false when the peer went away.
bool read_response(int fd);

}  // namespace zantrel::bench
