#include "zantrel/host/image_tool.h"

#include "zantrel/host/config.h"
#include "zantrel/host/internal/call_steps.h"

namespace zantrel::host {

bool is_http_link(std::string_view text) noexcept {
  return text.starts_with("http://") || text.starts_with("https://");
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url) {
  return get_img_url_io(url, *config::http_client());
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url, HttpClient& client) {
  const internal::Exchange exchange(client, internal::Exchange::Mode::kBlocking, {});
  return internal::fetch_image(exchange, url).run_blocking();
}

}  // namespace zantrel::host
