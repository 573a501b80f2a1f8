#include "zantrel/host/image_tool.h"

#include "zantrel/host/config.h"

namespace zantrel::host {

bool is_http_link(std::string_view text) noexcept {
  return text.starts_with("http://") || text.starts_with("https://");
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url) {
  return get_img_url_io(url, *config::http_client());
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url, HttpClient& client) {
  if (!is_http_link(url)) return std::nullopt;
  GetRequest request;
  request.timeout = client.base_timeout();
  HttpResponse response = client.get(url, request);
  if (response.status_code < 200 || response.status_code > 299 || response.body.empty()) {
    return std::nullopt;
  }
  return std::move(response.body);
}

}  // namespace zantrel::host
