#pragma once

#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/http/http_client.h"

namespace zantrel::testkit {

// What a scripted exchange does: answer with a status and body, or throw a failure.
struct Reply {
  int status = 200;
  std::string body;
  std::exception_ptr failure;
  host::Headers headers{};  // the answer's headers

  static Reply json(int status, std::string body, host::Headers headers = {}) {
    return {status, std::move(body), nullptr, std::move(headers)};
  }
  template <class Failure>
  static Reply raise(std::string message = "scripted failure") {
    return {0, {}, std::make_exception_ptr(Failure(message)), {}};
  }
};

// A request as the client under test handed it over, copied for inspection.
struct RecordedRequest {
  std::string method;
  std::string url;
  host::Headers headers;
  std::optional<std::string> json_text;  // a streamed body flattened
  std::optional<host::Form> form;
  // Copies of the file parts' bytes (the form only borrows them).
  std::vector<std::string> file_contents;
  host::Timeout timeout;
};

// An HttpClient that replays a script: posts take replies from a queue (an empty queue is a
// test error), gets are answered per link. Every request is recorded.
class ScriptedHttpClient final : public host::HttpClient {
 public:
  void queue_post(Reply reply);
  void on_get(const std::string& url, Reply reply);

  host::HttpResponse post(const std::string& url, const host::PostRequest& request) override;
  host::HttpResponse get(const std::string& url, const host::GetRequest& request) override;
  host::Timeout base_timeout() const override { return base_timeout_; }
  void set_base_timeout(host::Timeout timeout) { base_timeout_ = timeout; }

  std::vector<RecordedRequest> requests() const;

 private:
  host::HttpResponse answer(const Reply& reply);

  mutable std::mutex mutex_;
  std::deque<Reply> posts_;
  std::map<std::string, Reply> gets_;
  std::vector<RecordedRequest> requests_;
  host::Timeout base_timeout_{std::chrono::seconds(10), std::chrono::seconds(600)};
};

}  // namespace zantrel::testkit
