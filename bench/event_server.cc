#include "bench/event_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <queue>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/loopback_sink.h"
#include "zantrel/host/codec/base64.h"

namespace zantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
  Fd socket;
  std::size_t serial = 0;  // tells a connection from a later one on the same descriptor
  std::string in;
  std::string out;
  std::size_t sent = 0;
};

struct Due {
  Clock::time_point at;
  int fd;
  std::size_t serial;
  bool operator>(const Due& other) const { return at > other.at; }
};

std::string answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string image_body() {
  static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13,
                                       'I',  'H', 'D', 'R', 0,    0,    0,    64,   0, 0, 0, 64};
  const std::string data = host::base64_encode(host::ByteView(kPng, sizeof kPng));
  return R"({"candidates":[{"content":{"parts":[{"inlineData":{"mimeType":"image/png","data":")" +
         data + R"("}}]},"finishReason":"STOP"}]})";
}

// A small Interaction: in progress, or completed with the same picture.
std::string interaction_body(std::size_t id, bool done) {
  const std::string head = R"({"id":"job-)" + std::to_string(id) + R"(","status":)";
  if (!done) return head + R"("in_progress"})";
  static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13,
                                       'I',  'H', 'D', 'R', 0,    0,    0,    64,   0, 0, 0, 64};
  const std::string data = host::base64_encode(host::ByteView(kPng, sizeof kPng));
  return head + R"("completed","steps":[{"type":"model_output","content":[{"type":"image",)" +
         R"("mime_type":"image/png","data":")" + data + R"("}]}]})";
}

// Length of the first complete request in `in` (head and Content-Length body), or 0.
std::size_t complete_request(const std::string& in) {
  const auto head_end = in.find("\r\n\r\n");
  if (head_end == std::string::npos) return 0;
  std::size_t length = 0;
  const auto field = in.find("Content-Length:");
  if (field != std::string::npos && field < head_end) {
    length = std::stoul(in.substr(field + 15, in.find("\r\n", field) - field - 15));
  }
  const std::size_t total = head_end + 4 + length;
  return in.size() >= total ? total : 0;
}

void raise_fd_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int serve_events(std::chrono::milliseconds delay) {
  raise_fd_limit();
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 4096) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  socklen_t size = sizeof address;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  Fd signals(::signalfd(-1, &stop, SFD_CLOEXEC));
  Fd poller(::epoll_create1(EPOLL_CLOEXEC));
  const auto watch = [&](int fd, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    ::epoll_ctl(poller.get(), op, fd, &event);
  };
  watch(listener.get(), EPOLLIN, EPOLL_CTL_ADD);
  watch(signals.get(), EPOLLIN, EPOLL_CTL_ADD);
  std::printf("listening on http://127.0.0.1:%d\n", ntohs(address.sin_port));
  std::fflush(stdout);

  const std::string success = answer(image_body());
  std::map<int, Connection> connections;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due;
  std::size_t accepted = 0;
  // Jobs of the Interactions API: each done `delay` after its submit, which is answered at once
  // as their polls are.
  std::vector<Clock::time_point> jobs_done_at;
  std::size_t polls = 0;
  constexpr std::string_view kSubmit = "POST /v1beta/interactions ";
  constexpr std::string_view kPoll = "GET /v1beta/interactions/job-";
  std::vector<epoll_event> events(1024);
  const auto flush = [&](Connection& c) {
    while (c.sent < c.out.size()) {
      const ssize_t n =
          ::send(c.socket.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      c.sent += static_cast<std::size_t>(n);
    }
    if (c.sent == c.out.size()) {
      c.out.clear();
      c.sent = 0;
    }
  };
  for (;;) {
    int wait_ms = -1;
    if (!due.empty()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(due.top().at - Clock::now());
      wait_ms = static_cast<int>(std::max<long>(0, left.count()));
    }
    const int ready =
        ::epoll_wait(poller.get(), events.data(), static_cast<int>(events.size()), wait_ms);
    for (int i = 0; i < ready; ++i) {
      const int fd = events[static_cast<std::size_t>(i)].data.fd;
      if (fd == signals.get()) return 0;
      if (fd == listener.get()) {
        for (;;) {
          const int client =
              ::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (client < 0) break;
          ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          ++accepted;
          connections[client].socket = Fd(client);
          connections[client].serial = accepted;
          watch(client, EPOLLIN | EPOLLOUT | EPOLLET, EPOLL_CTL_ADD);
        }
        continue;
      }
      auto found = connections.find(fd);
      if (found == connections.end()) continue;
      Connection& c = found->second;
      char buffer[65536];
      bool closed = false;
      for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          c.in.append(buffer, static_cast<std::size_t>(n));
          continue;
        }
        closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
      }
      if (closed) {
        connections.erase(found);  // closes; a pending answer finds it gone
        continue;
      }
      while (const std::size_t length = complete_request(c.in)) {
        if (c.in.starts_with("GET /stats")) {
          c.out += answer(R"({"connections":)" + std::to_string(accepted) + R"(,"jobs":)" +
                          std::to_string(jobs_done_at.size()) + R"(,"polls":)" +
                          std::to_string(polls) + "}");
          flush(c);
        } else if (c.in.starts_with(kSubmit)) {
          jobs_done_at.push_back(Clock::now() + delay);
          c.out += answer(interaction_body(jobs_done_at.size() - 1, false));
        } else if (c.in.starts_with(kPoll)) {
          ++polls;
          const std::size_t id = std::stoul(c.in.substr(kPoll.size()));
          const bool done = id < jobs_done_at.size() && Clock::now() >= jobs_done_at[id];
          c.out += answer(interaction_body(id, done));
        } else {
          due.push({Clock::now() + delay, fd, c.serial});
        }
        c.in.erase(0, length);
      }
      flush(c);
    }
    const auto now = Clock::now();
    while (!due.empty() && due.top().at <= now) {
      auto found = connections.find(due.top().fd);
      const std::size_t serial = due.top().serial;
      due.pop();
      if (found == connections.end() || found->second.serial != serial) continue;
      found->second.out += success;
      flush(found->second);
    }
  }
}

}  // namespace zantrel::bench
