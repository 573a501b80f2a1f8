#pragma once

#include <chrono>
#include <string>

namespace zantrel::bench {

// An HTTP/1.1 server on 127.0.0.1 for benchmarks of many calls at once: one thread and epoll
// for any number of connections (a thread per connection would be the bottleneck). Every
// POST is read whole and answered after `delay` with a small Gemini success body;
// "GET /stats" answers {"connections": N}, the connections accepted so far. Serves until
// SIGTERM or SIGINT; prints "listening on URL" first.
int serve_events(std::chrono::milliseconds delay);

}  // namespace zantrel::bench
