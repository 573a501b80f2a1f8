#include "zantrel/host/call/reference_loading.h"

#include <filesystem>

#include "zantrel/host/config.h"
#include "zantrel/host/image_tool.h"

namespace zantrel::host {
namespace internal {
namespace {

bool exists(const std::string& path) {
  std::error_code ignored;
  // A path that can't be examined counts as not existing. One holding a NUL would be cut short
  // by the system and name a different file.
  return !path.empty() && path.find('\0') == std::string::npos &&
         std::filesystem::exists(path, ignored);
}

Task<bool> load_text(const std::string& text, std::vector<Bytes>& out, const Exchange& exchange) {
  if (is_http_link(text)) {
    auto fetched = co_await fetch_image(exchange, text);
    if (!fetched) co_return false;
    out.push_back(std::move(*fetched));
  } else {
    if (!exists(text)) co_return false;
    out.push_back(read_file_bytes(text));
  }
  co_return true;
}

}  // namespace

Task<std::optional<Bytes>> fetch_image(const Exchange& exchange, const std::string& url) {
  if (!is_http_link(url)) co_return std::nullopt;
  GetRequest request;
  request.timeout = exchange.client().base_timeout();
  HttpResponse response = co_await exchange.get(url, request);
  if (response.status_code < 200 || response.status_code > 299 || response.body.empty()) {
    co_return std::nullopt;
  }
  co_return std::move(response.body);
}

Task<std::vector<Bytes>> gather_references(const Files& files, const Exchange& exchange) {
  std::vector<Bytes> out;
  if (const auto* text = std::get_if<std::string>(&files)) {
    if (!text->empty()) co_await load_text(*text, out, exchange);
  } else if (const auto* bytes = std::get_if<Bytes>(&files)) {
    if (!bytes->empty()) out.push_back(*bytes);
  } else if (const auto* list = std::get_if<std::vector<Reference>>(&files)) {
    for (const Reference& element : *list) {
      if (const auto* t = std::get_if<std::string>(&element)) {
        co_await load_text(*t, out, exchange);
      } else {
        out.push_back(std::get<Bytes>(element));
      }
    }
  }
  co_return out;
}

}  // namespace internal

std::vector<Bytes> load_references(const Files& files) {
  return load_references(files, *config::http_client());
}

std::vector<Bytes> load_references(const Files& files, HttpClient& client) {
  const internal::Exchange exchange(client, internal::Exchange::Mode::kBlocking, {});
  return internal::gather_references(files, exchange).run_blocking();
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url) {
  return get_img_url_io(url, *config::http_client());
}

std::optional<Bytes> ImageTool::get_img_url_io(const std::string& url, HttpClient& client) {
  const internal::Exchange exchange(client, internal::Exchange::Mode::kBlocking, {});
  return internal::fetch_image(exchange, url).run_blocking();
}

}  // namespace zantrel::host
