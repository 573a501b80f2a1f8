// A host that brings its own pieces: an HttpClient that wraps the libcurl one (to add a header
// and count requests; a proxy or a CA bundle go the same way) and a Logger that prints the
// message of each record. Both are given to one client only; the process-wide ones stay as
// they are.
//   custom_http_and_logger BASE_URL API_KEY
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/error_code.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace {

class TaggingHttpClient final : public zantrel::host::HttpClient {
 public:
  explicit TaggingHttpClient(std::shared_ptr<zantrel::host::HttpClient> inner)
      : inner_(std::move(inner)) {}

  zantrel::host::HttpResponse post(const std::string& url,
                                   const zantrel::host::PostRequest& request) override {
    ++posts_;
    zantrel::host::PostRequest tagged = request;  // the body's file parts are only borrowed
    tagged.headers.emplace_back("X-Host-Request", std::to_string(posts_.load()));
    return inner_->post(url, tagged);
  }
  zantrel::host::HttpResponse get(const std::string& url,
                                  const zantrel::host::GetRequest& request) override {
    return inner_->get(url, request);
  }
  zantrel::host::Timeout base_timeout() const override { return inner_->base_timeout(); }

  int posts() const { return posts_; }

 private:
  std::shared_ptr<zantrel::host::HttpClient> inner_;
  std::atomic<int> posts_{0};
};

class PrintingLogger final : public zantrel::host::Logger {
 public:
  void debug(const nlohmann::ordered_json& record) override {
    std::printf("log: %s\n", record.value("msg", std::string()).c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BASE_URL API_KEY\n", argv[0]);
    return 2;
  }
  zantrel::host::CurlHttpClientOptions curl;
  curl.base_timeout = zantrel::host::Timeout::from_seconds(5, 120);
  // A gateway in front of the service with a deep listen queue: open more connections at once.
  curl.max_connecting_per_host = 16;
  auto http =
      std::make_shared<TaggingHttpClient>(std::make_shared<zantrel::host::CurlHttpClient>(curl));

  zantrel::image::tavelin::TavelinaOptions options;
  options.model_tag = "HOST-GEMINI";
  options.logger = std::make_shared<PrintingLogger>();
  options.http_client = http;
  zantrel::image::tavelin::TavelinaClient client(argv[1], argv[2], options);

  const zantrel::host::ServiceResult result = client.start("a paper boat", "1:1");
  std::printf("result: %s, requests sent: %d\n",
              result.ok() ? "ok" : zantrel::host::to_string(*result.code()).data(), http->posts());
  return result.ok() ? 0 : 1;
}
