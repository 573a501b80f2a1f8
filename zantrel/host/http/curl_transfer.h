#pragma once

// Not installed: the libcurl side of one transfer, shared by every path that runs one.

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "zantrel/host/http/curl_http_client.h"

namespace zantrel::host::internal {

// One request on one easy handle: the constructor checks the request and configures the handle
// completely (TLS, schemes, redirects, time-outs, size caps, header checks, link address policy,
// body); `finish` turns the handle's outcome into a response or the library's failure kind.
// The object is what libcurl's callbacks point at, so it stays where it was made until the
// transfer is over, and it must outlive the transfer.
class CurlTransfer {
 public:
  CurlTransfer(CURL* easy, const std::string& url, const PostRequest& request,
               const CurlHttpClientOptions& options);
  CurlTransfer(CURL* easy, const std::string& url, const GetRequest& request,
               const CurlHttpClientOptions& options);
  ~CurlTransfer();
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  // The response of a transfer that ended with `code`; throws the failure otherwise.
  HttpResponse finish(CURLcode code);

  struct State;

 private:
  CurlTransfer(CURL* easy, const std::string& url, const Headers& headers, const Timeout& timeout,
               const CurlHttpClientOptions& options, bool link_fetch);
  void set_json_body(const JsonBody& body);
  void set_streamed_body(const StreamedBody& body);
  void set_form_body(const Form& form);

  std::unique_ptr<State> state_;
};

}  // namespace zantrel::host::internal
