#pragma once

#include <optional>
#include <string>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

class HttpClient;

class ImageTool {
 public:
  // Fetches an image link through the shared HTTP client: only http and https, no credentials,
  // a few redirects at most. Nothing when the link has another scheme, the status is not 2xx
  // or the body is empty; throws the HTTP client's failure when the transfer itself fails.
  static std::optional<Bytes> get_img_url_io(const std::string& url);
  // The same through a given HTTP client.
  static std::optional<Bytes> get_img_url_io(const std::string& url, HttpClient& client);
};

// True when `text` starts with "http://" or "https://" exactly (case-sensitive).
bool is_http_link(std::string_view text) noexcept;

}  // namespace zantrel::host
