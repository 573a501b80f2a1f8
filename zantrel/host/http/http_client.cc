#include "zantrel/host/http/http_client.h"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include <nlohmann/json.hpp>

#include "zantrel/host/result/errors.h"

namespace zantrel::host {

void check_headers(const Headers& headers) {
  for (const auto& [name, value] : headers) {
    const bool name_ok = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) ||
             (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
    });
    if (!name_ok) throw InvalidHeader("refused header name with characters outside a token");
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      throw InvalidHeader("refused header " + name + ": its value holds CR, LF or NUL");
    }
  }
}

std::optional<std::string_view> HttpResponse::header(std::string_view name) const noexcept {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() &&
        std::equal(key.begin(), key.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return std::string_view(value);
    }
  }
  return std::nullopt;
}

nlohmann::ordered_json HttpResponse::json() const {
  try {
    return nlohmann::ordered_json::parse(text());
  } catch (const nlohmann::json::exception& e) {
    throw JSONDecodeError(std::string("response body is not JSON: ") + e.what());
  }
}

namespace {

template <class Exchange>
void complete(const HttpCompletion& done, Exchange exchange) {
  HttpOutcome outcome;
  try {
    outcome = exchange();
  } catch (...) {
    outcome = std::current_exception();
  }
  done(std::move(outcome));
}

}  // namespace

// The defaults take their arguments by value as overrides keep them beyond the call.
// NOLINTBEGIN(performance-unnecessary-value-param)
void HttpClient::post_async(const std::string& url, const PostRequest& request,
                            HttpCompletion done) {
  complete(done, [&] { return post(url, request); });
}

void HttpClient::get_async(const std::string& url, const GetRequest& request, HttpCompletion done) {
  complete(done, [&] { return get(url, request); });
}

void HttpClient::wait_async(std::chrono::milliseconds delay, std::stop_token stop,
                            std::function<void()> done) {
  // (Not condition_variable_any's stop-token wait: with some standard libraries it ignores
  // the time-out.)
  std::mutex mutex;
  std::condition_variable woken;
  bool stopped = false;
  {
    const std::stop_callback on_stop(stop, [&] {
      {
        const std::lock_guard lock(mutex);
        stopped = true;
      }
      woken.notify_all();
    });
    std::unique_lock lock(mutex);
    woken.wait_for(lock, delay, [&] { return stopped; });
  }
  done();
}

// NOLINTEND(performance-unnecessary-value-param)

void check_http_url(const std::string& url) {
  std::string head = url.substr(0, 8);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!head.starts_with("http://") && !head.starts_with("https://")) {
    throw UnsupportedScheme("only http and https links are fetched");
  }
  if (url.find_first_of(std::string_view("\r\n\0 ", 4)) != std::string::npos) {
    throw InvalidURL("link holds a blank or a control character");
  }
}

}  // namespace zantrel::host
