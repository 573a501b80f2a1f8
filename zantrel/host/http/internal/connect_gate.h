#pragma once

// Not installed: the bound on connections being opened to one host at once.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zantrel::host::internal {

// Lets at most `per_host` transfers to one host (scheme, name and port) open a connection at
// the same time, over every path of one HTTP client.
//
// A server keeps the connections it has not yet taken in a listen queue, often a small one (5
// for Python's servers). A burst of handshakes beyond it makes the server's kernel answer with
// SYN cookies, and every segment of a request but the first that reaches it before the server
// took the connection is answered with a reset: the calls fail after their request went out.
// Bounded, the handshakes in flight never fill the queue of handshakes; when the queue of
// connections not yet taken is full, the server drops new handshakes silently instead, and
// those are begun anew once they took much longer than this host's handshakes usually do
// (the kernel would wait a second, then three, seven ...).
class ConnectGate {
 public:
  using Clock = std::chrono::steady_clock;

  // 0: no bound (and no handshake begun anew).
  explicit ConnectGate(std::size_t per_host) : per_host_(per_host) {}

  // A place being used to open one connection; freed when it goes or by `release`.
  class Pass {
   public:
    Pass() = default;
    Pass(Pass&& other) noexcept { *this = std::move(other); }
    Pass& operator=(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass() { release(); }

    bool held() const { return gate_ != nullptr; }
    void release();
    // How long a handshake to this host may take before it is begun anew.
    std::chrono::milliseconds patience() const;
    // Tells the gate how long a handshake to this host took.
    void note_handshake(std::chrono::microseconds took) const;

   private:
    friend class ConnectGate;
    Pass(ConnectGate* gate, std::string host) : gate_(gate), host_(std::move(host)) {}
    ConnectGate* gate_ = nullptr;
    std::string host_;
  };

  // Takes a place for the host of `url` into `pass`, waiting for one until `until` at most
  // (a time past: not at all); false when none came free.
  bool enter(const std::string& url, Pass& pass, Clock::time_point until);

 private:
  struct Host {
    std::size_t opening = 0;
    // Smoothed handshake time; none yet while zero.
    std::chrono::microseconds handshake{0};
  };
  void leave(const std::string& host);

  const std::size_t per_host_;
  std::mutex mutex_;
  std::condition_variable freed_;
  std::unordered_map<std::string, Host> hosts_;
};

// The authority of a link (host and port as written), without credentials.
std::string authority_of(const std::string& url);

}  // namespace zantrel::host::internal
