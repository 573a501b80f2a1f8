#include "zantrel/host/http/internal/curl_engine.h"

#include <curl/curl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "zantrel/host/files/file_descriptor.h"
#include "zantrel/host/http/internal/curl_handles.h"
#include "zantrel/host/http/internal/curl_transfer.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

using Clock = std::chrono::steady_clock;

// Idle handles kept for the next submissions (connections live in the multi handle).
constexpr std::size_t kMaxIdleHandles = 256;
// Open connections the loop keeps for reuse. libcurl's default follows the number of transfers
// running, so a burst that ends would close most of what the next burst needs.
constexpr long kMaxIdleConnections = 256;
// While transfers wait for a place to connect, the loop looks for places given back by the
// client's blocking calls at least this often (its own transfers give theirs back in the loop).
constexpr auto kGateCheck = std::chrono::milliseconds(20);

struct Job {
  EasyHandle easy;
  std::unique_ptr<CurlTransfer> transfer;
  HttpCompletion done;
  // Refused before anything went out; handed to `done` by the loop like any outcome.
  std::exception_ptr refused;
};

struct Pause {
  Clock::time_point until;
  std::stop_token stop;
  std::function<void()> done;
  // Wakes the loop on a stop request.
  std::unique_ptr<std::stop_callback<std::function<void()>>> watch;
};

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

struct CurlEngine::Core {
  explicit Core(std::shared_ptr<SharedConnections> shared) : connections(std::move(shared)) {}

  // First, so that it outlives every transfer and connection of the loop.
  std::shared_ptr<SharedConnections> connections;
  // The sockets libcurl wants watched, and a counter that wakes the loop; before the multi
  // handle, which unregisters its sockets as it goes.
  FileDescriptor poller{epoll_create1(EPOLL_CLOEXEC)};
  FileDescriptor waker{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  MultiHandle multi = make_multi();
  // When libcurl wants its timers run; nothing while it has none. The loop thread's own.
  std::optional<Clock::time_point> curl_timer;

  std::mutex mutex;  // guards the members up to `stopping`
  std::vector<std::unique_ptr<Job>> incoming;
  std::vector<Pause> incoming_pauses;
  bool stopping = false;
  HandlePool<EasyHandle> idle{kMaxIdleHandles};

  // The loop thread's own.
  std::unordered_map<CURL*, std::unique_ptr<Job>> running;
  // Waiting for a place to connect, in the order they came.
  std::deque<std::unique_ptr<Job>> waiting;
  std::vector<Pause> pauses;

  void wake() const {
    const std::uint64_t one = 1;
    // A full counter already wakes the loop.
    [[maybe_unused]] const auto written = ::write(waker.get(), &one, sizeof one);
  }

  // libcurl's socket callback: keeps the poller's interest in `socket` as libcurl wants it.
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libcurl's callback
  static int watch(CURL*, curl_socket_t socket, int what, void* self, void*) {
    const int poller = static_cast<Core*>(self)->poller.get();
    if (what == CURL_POLL_REMOVE) {
      epoll_ctl(poller, EPOLL_CTL_DEL, socket, nullptr);  // gone already when closed: fine
      return 0;
    }
    epoll_event event{};
    event.events = (what & CURL_POLL_IN ? EPOLLIN : 0U) | (what & CURL_POLL_OUT ? EPOLLOUT : 0U);
    event.data.fd = socket;
    if (epoll_ctl(poller, EPOLL_CTL_MOD, socket, &event) != 0) {
      epoll_ctl(poller, EPOLL_CTL_ADD, socket, &event);
    }
    return 0;
  }

  // libcurl's timer callback.
  static int set_timer(CURLM*, long timeout_ms, void* self) {
    auto& core = *static_cast<Core*>(self);
    if (timeout_ms < 0) {
      core.curl_timer.reset();
    } else {
      core.curl_timer = Clock::now() + std::chrono::milliseconds(timeout_ms);
    }
    return 0;
  }

  // Runs libcurl's timers when due.
  void run_curl_timer() {
    if (!curl_timer || *curl_timer > Clock::now()) return;
    curl_timer.reset();
    int active = 0;
    curl_multi_socket_action(multi.get(), CURL_SOCKET_TIMEOUT, 0, &active);
  }

  // Waits for socket events, a wake-up or `until` (at most a second) and hands the events to
  // libcurl: only the transfers with something to do run.
  void wait_and_dispatch(std::optional<Clock::time_point> until) {
    constexpr long kIdleWaitMs = 1000;  // an idle loop still looks round now and then
    long wait = kIdleWaitMs;
    if (until) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now());
      wait = std::clamp(static_cast<long>(left.count()), 0L, kIdleWaitMs);
    }
    std::array<epoll_event, 64> events{};
    const int ready = epoll_wait(poller.get(), events.data(), static_cast<int>(events.size()),
                                 static_cast<int>(wait));
    for (int i = 0; i < ready; ++i) {
      const int fd = events[static_cast<std::size_t>(i)].data.fd;
      const std::uint32_t happened = events[static_cast<std::size_t>(i)].events;
      if (fd == waker.get()) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(fd, &count, sizeof count);
        continue;
      }
      int mask = 0;
      if (happened & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) mask |= CURL_CSELECT_IN;
      if (happened & EPOLLOUT) mask |= CURL_CSELECT_OUT;
      if (happened & EPOLLERR) mask |= CURL_CSELECT_ERR;
      int active = 0;
      curl_multi_socket_action(multi.get(), fd, mask, &active);
    }
  }

  EasyHandle take_handle() { return idle.acquire(make_easy); }

  void give_back(EasyHandle easy) {
    curl_easy_reset(easy.get());
    idle.release(std::move(easy));
  }

  // Ends a running transfer: the handle leaves the loop, the outcome goes to its completion.
  void finish(CURL* easy, CURLcode code) {
    auto found = running.find(easy);
    if (found == running.end()) return;
    std::unique_ptr<Job> job = std::move(found->second);
    running.erase(found);
    curl_multi_remove_handle(multi.get(), easy);
    end(std::move(job), code);
  }

  // Hands a job's outcome to its completion (the handle is out of the loop).
  void end(std::unique_ptr<Job> job, CURLcode code) {
    HttpOutcome outcome;
    try {
      outcome = job->transfer->finish(code);
    } catch (...) {
      outcome = std::current_exception();
    }
    job->transfer.reset();
    give_back(std::move(job->easy));
    deliver(job->done, std::move(outcome));
  }

  // Starts a job in the loop.
  void start(std::unique_ptr<Job> job) {
    CURL* easy = job->easy.get();
    if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
      deliver(job->done,
              std::make_exception_ptr(ConnectionError("libcurl could not start a transfer")));
      return;
    }
    running.emplace(easy, std::move(job));
  }

  // Starts the waiting jobs that have a place to connect now, in order; ends those stopped or
  // past their deadline.
  void start_waiting(Clock::time_point now) {
    for (auto it = waiting.begin(); it != waiting.end();) {
      CurlTransfer& transfer = *(*it)->transfer;
      if (transfer.enter(*connections, Clock::time_point::min())) {
        start(std::move(*it));
      } else if (transfer.should_abort(now)) {
        end(std::move(*it), CURLE_ABORTED_BY_CALLBACK);
      } else {
        ++it;
        continue;
      }
      it = waiting.erase(it);
    }
  }

  static void deliver(const HttpCompletion& done, HttpOutcome outcome) {
    try {
      done(std::move(outcome));
    } catch (...) {
      // A completion that throws must not take the loop down with it.
    }
  }

  // Takes the submissions into the loop; false once the engine is stopping.
  bool adopt_incoming() {
    std::vector<std::unique_ptr<Job>> jobs;
    std::vector<Pause> new_pauses;
    bool stop = false;
    {
      std::lock_guard lock(mutex);
      jobs.swap(incoming);
      new_pauses.swap(incoming_pauses);
      stop = stopping;
    }
    for (auto& job : jobs) {
      if (job->refused) {
        deliver(job->done, job->refused);
        continue;
      }
      job->transfer->wake_on_stop([this] { wake(); });
      waiting.push_back(std::move(job));
    }
    for (auto& pause : new_pauses) {
      if (pause.stop.stop_possible()) {
        pause.watch = std::make_unique<std::stop_callback<std::function<void()>>>(
            pause.stop, [this] { wake(); });
      }
      pauses.push_back(std::move(pause));
    }
    start_waiting(Clock::now());
    return !stop;
  }

  // Runs what is due: finished transfers, time-outs, stop requests, pauses. Returns the
  // earliest time something else falls due.
  std::optional<Clock::time_point> run_due() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
      if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
    }
    const auto now = Clock::now();
    std::vector<CURL*> aborted;
    std::optional<Clock::time_point> next;
    std::vector<CURL*> restarted;
    for (auto& [easy, job] : running) {
      if (job->transfer->should_abort(now)) {
        aborted.push_back(easy);
        continue;
      }
      if (job->transfer->should_begin_anew(now)) restarted.push_back(easy);
      next = earliest(next, job->transfer->next_check());
    }
    for (CURL* easy : aborted) finish(easy, CURLE_ABORTED_BY_CALLBACK);
    for (CURL* easy : restarted) {
      curl_multi_remove_handle(multi.get(), easy);
      if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
        finish(easy, CURLE_FAILED_INIT);
      }
    }
    // Places given back during this round go to the waiting jobs at once.
    start_waiting(now);
    if (!waiting.empty()) {
      next = earliest(next, now + kGateCheck);
      for (const auto& job : waiting) next = earliest(next, job->transfer->next_check());
    }

    std::vector<std::function<void()>> woken;
    for (std::size_t i = 0; i < pauses.size();) {
      if (pauses[i].until <= now || pauses[i].stop.stop_requested()) {
        woken.push_back(std::move(pauses[i].done));
        pauses.erase(pauses.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        next = earliest(next, pauses[i].until);
        ++i;
      }
    }
    for (auto& done : woken) {
      try {
        done();
      } catch (...) {
        // As for completions.
      }
    }
    return woken.empty() && aborted.empty() ? next : std::optional(now);
  }

  void loop() {
    while (adopt_incoming()) {
      run_curl_timer();
      const auto next = run_due();
      wait_and_dispatch(earliest(next, curl_timer));
    }
    close_all();
  }

  // The engine is going: nothing still running or waiting will get an answer.
  void close_all() {
    for (auto& job : waiting) {
      job->transfer.reset();
      deliver(job->done, std::make_exception_ptr(ConnectionError("the HTTP client was closed")));
    }
    waiting.clear();
    std::vector<CURL*> handles;
    for (auto& entry : running) handles.push_back(entry.first);
    for (CURL* easy : handles) {
      auto job = std::move(running[easy]);
      running.erase(easy);
      curl_multi_remove_handle(multi.get(), easy);
      job->transfer.reset();
      deliver(job->done, std::make_exception_ptr(ConnectionError("the HTTP client was closed")));
    }
    std::vector<Pause> left;
    left.swap(pauses);
    for (auto& pause : left) {
      pause.watch.reset();
      pause.done();
    }
  }
};

CurlEngine::CurlEngine(const CurlHttpClientOptions& options,
                       std::shared_ptr<SharedConnections> connections)
    : options_(options), core_(std::make_shared<Core>(std::move(connections))) {
  Core& core = *core_;
  if (!core.multi || core.poller.get() < 0 || core.waker.get() < 0) {
    throw ConnectionError("libcurl could not make a loop");
  }
  curl_multi_setopt(core.multi.get(), CURLMOPT_MAXCONNECTS, kMaxIdleConnections);
  curl_multi_setopt(core.multi.get(), CURLMOPT_SOCKETFUNCTION, &Core::watch);
  curl_multi_setopt(core.multi.get(), CURLMOPT_SOCKETDATA, &core);
  curl_multi_setopt(core.multi.get(), CURLMOPT_TIMERFUNCTION, &Core::set_timer);
  curl_multi_setopt(core.multi.get(), CURLMOPT_TIMERDATA, &core);
  epoll_event wake_event{};
  wake_event.events = EPOLLIN;
  wake_event.data.fd = core.waker.get();
  if (epoll_ctl(core.poller.get(), EPOLL_CTL_ADD, core.waker.get(), &wake_event) != 0) {
    throw ConnectionError("could not watch the loop's wake-ups");
  }
  // The thread holds the core too, so that an engine dropped from its own thread (by the last
  // completion of a call holding its client) can still wind down.
  thread_ = std::thread([core = core_] { core->loop(); });
}

CurlEngine::~CurlEngine() {
  {
    std::lock_guard lock(core_->mutex);
    core_->stopping = true;
  }
  core_->wake();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

template <class Request>
void CurlEngine::submit(const std::string& url, const Request& request, HttpCompletion done) {
  // Kept here: once the job is handed over, the call may end (and drop this engine's owner)
  // before this function returns.
  const std::shared_ptr<Core> core = core_;
  auto job = std::make_unique<Job>();
  try {
    job->easy = core->take_handle();
    job->transfer = std::make_unique<CurlTransfer>(job->easy.get(), url, request, options_);
  } catch (...) {
    // Refused before anything went out (a bad link or header).
    job->transfer.reset();
    job->refused = std::current_exception();
  }
  job->done = std::move(done);
  bool accepted = false;
  {
    std::lock_guard lock(core->mutex);
    accepted = !core->stopping;
    if (accepted) core->incoming.push_back(std::move(job));
  }
  if (!accepted) {
    job->transfer.reset();  // NOLINT(bugprone-use-after-move): kept when not accepted
    Core::deliver(job->done,
                  std::make_exception_ptr(ConnectionError("the HTTP client was closed")));
    return;
  }
  core->wake();
}

void CurlEngine::post(const std::string& url, const PostRequest& request, HttpCompletion done) {
  submit(url, request, std::move(done));
}

void CurlEngine::get(const std::string& url, const GetRequest& request, HttpCompletion done) {
  submit(url, request, std::move(done));
}

void CurlEngine::wait(std::chrono::milliseconds delay, std::stop_token stop,
                      std::function<void()> done) {
  const std::shared_ptr<Core> core = core_;  // as in submit
  {
    std::lock_guard lock(core->mutex);
    if (!core->stopping) {
      core->incoming_pauses.push_back(
          {Clock::now() + delay, std::move(stop), std::move(done), nullptr});
      done = nullptr;
    }
  }
  if (done) {
    done();
    return;
  }
  core->wake();
}

}  // namespace zantrel::host::internal
