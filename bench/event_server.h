#pragma once

#include <chrono>
#include <string>

namespace zantrel::bench {

// An HTTP/1.1 server on 127.0.0.1 for benchmarks of many calls at once: one thread and epoll
// for any number of connections (a thread per connection would be the bottleneck). Every
// POST is read whole and answered after `delay` with a small Gemini success body, except a
// submit to the Interactions API, answered at once with a job that is done `delay` later (its
// polls answered at once too); "GET /stats" answers {"connections", "jobs", "polls"}: the
// connections accepted, the jobs submitted and the polls answered so far. Serves until
// SIGTERM or SIGINT; prints "listening on URL" first.
int serve_events(std::chrono::milliseconds delay);

}  // namespace zantrel::bench
