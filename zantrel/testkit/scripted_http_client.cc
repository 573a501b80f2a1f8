#include "zantrel/testkit/scripted_http_client.h"

#include <stdexcept>

namespace zantrel::testkit {

void ScriptedHttpClient::queue_post(Reply reply) {
  std::lock_guard lock(mutex_);
  posts_.push_back(std::move(reply));
}

void ScriptedHttpClient::on_get(const std::string& url, Reply reply) {
  std::lock_guard lock(mutex_);
  gets_[url] = std::move(reply);
}

host::HttpResponse ScriptedHttpClient::answer(const Reply& reply) {
  if (reply.failure) std::rethrow_exception(reply.failure);
  host::HttpResponse response;
  response.status_code = reply.status;
  response.headers = reply.headers;
  response.body = host::to_bytes(reply.body);
  return response;
}

host::HttpResponse ScriptedHttpClient::post(const std::string& url,
                                            const host::PostRequest& request) {
  RecordedRequest recorded{"POST",       url, request.headers, std::nullopt,
                           std::nullopt, {},  request.timeout};
  if (const auto* json = std::get_if<host::JsonBody>(&request.body)) {
    recorded.json_text = std::string(json->text());
  } else if (const auto* streamed = std::get_if<host::StreamedBody>(&request.body)) {
    recorded.json_text = std::string(host::as_text(host::flatten(*streamed)));
  } else {
    recorded.form = std::get<host::Form>(request.body);
    for (const auto& file : recorded.form->files) {
      recorded.file_contents.emplace_back(host::as_text(file.content));
    }
  }
  Reply reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(recorded));
    if (posts_.empty()) throw std::logic_error("scripted client: unexpected post to " + url);
    reply = posts_.front();
    posts_.pop_front();
  }
  return answer(reply);
}

host::HttpResponse ScriptedHttpClient::get(const std::string& url,
                                           const host::GetRequest& request) {
  Reply reply;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(
        {"GET", url, request.headers, std::nullopt, std::nullopt, {}, request.timeout});
    auto found = gets_.find(url);
    if (found == gets_.end()) throw std::logic_error("scripted client: unexpected get of " + url);
    reply = found->second;
  }
  return answer(reply);
}

std::vector<RecordedRequest> ScriptedHttpClient::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace zantrel::testkit
