#include "tests/support/loopback_server.h"

#include <chrono>
#include <stdexcept>

namespace zantrel::test_support {

void LoopbackServer::start() {
  // Without it, a response written in two pieces waits on delayed acknowledgements.
  http.set_tcp_nodelay(true);
  // Each keep-alive connection holds a worker; leave room for every client thread of a test.
  // (cpp-httplib takes ownership of the queue it is handed.)
  http.new_task_queue = [] {
    return new httplib::ThreadPool(32);
  };  // NOLINT(cppcoreguidelines-owning-memory)
  port_ = http.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("loopback server: no free port");
  thread_ = std::thread([this] { http.listen_after_bind(); });
  for (int i = 0; i < 500 && !http.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!http.is_running()) throw std::runtime_error("loopback server: did not start");
}

void LoopbackServer::stop() {
  if (!thread_.joinable()) return;
  http.stop();
  thread_.join();
}

}  // namespace zantrel::test_support
