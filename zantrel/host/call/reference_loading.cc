#include "zantrel/host/call/reference_loading.h"

#include <filesystem>

#include "zantrel/host/config.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/result/errors.h"

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

// Loads one text reference into `out`. Why it did not load, or nothing when it did; when
// `strict`, a refused link and an unreadable path are such reasons instead of failures.
Task<std::optional<std::string>> load_text(const std::string& text, std::vector<Bytes>& out,
                                           const Exchange& exchange, bool strict) {
  if (is_http_link(text)) {
    std::optional<Bytes> fetched;
    try {
      fetched = co_await fetch_image(exchange, text);
    } catch (const AddressRefused& e) {
      if (!strict) throw;
      co_return std::string(e.what());
    }
    if (!fetched) co_return std::string("the link gave no image");
    out.push_back(std::move(*fetched));
    co_return std::nullopt;
  }
  if (!exists(text)) co_return std::string("no such file");
  try {
    out.push_back(read_file_bytes(text));
  } catch (const FileReadError& e) {
    if (!strict) throw;
    co_return std::string(e.what());
  }
  co_return std::nullopt;
}

// Reference `position` (from 1) of a call into `out`. False when it did not load and `refused`
// asks for that to stop the gathering (it then says which and why).
Task<bool> take_text(const std::string& text, int position, std::vector<Bytes>& out,
                     const Exchange& exchange, std::string* refused) {
  auto why = co_await load_text(text, out, exchange, refused != nullptr);
  if (!why || refused == nullptr) co_return true;
  *refused = "reference " + std::to_string(position) + " (" + text + ") can't be used: " + *why;
  co_return false;
}

}  // namespace

Task<std::optional<Bytes>> fetch_image(const Exchange& exchange, const std::string& url) {
  if (!is_http_link(url)) co_return std::nullopt;
  GetRequest request;
  request.timeout = exchange.link_timeout();
  HttpResponse response = co_await exchange.get(url, request);
  if (response.status_code < 200 || response.status_code > 299 || response.body.empty()) {
    co_return std::nullopt;
  }
  co_return std::move(response.body);
}

Task<std::vector<Bytes>> gather_references(const Files& files, const Exchange& exchange,
                                           std::string* refused) {
  std::vector<Bytes> out;
  int position = 0;
  if (const auto* text = std::get_if<std::string>(&files)) {
    if (!text->empty()) co_await take_text(*text, ++position, out, exchange, refused);
  } else if (const auto* bytes = std::get_if<Bytes>(&files)) {
    if (!bytes->empty()) out.push_back(*bytes);
  } else if (const auto* list = std::get_if<std::vector<Reference>>(&files)) {
    for (const Reference& element : *list) {
      if (const auto* t = std::get_if<std::string>(&element)) {
        if (!co_await take_text(*t, ++position, out, exchange, refused)) break;
      } else {
        ++position;
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
