#include "tools/cli/generate_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "tools/cli/output.h"
#include "tools/cli/spinner.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/image_mime.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::cli {
namespace {

constexpr const char* kGeminiAddress = "https://generativelanguage.googleapis.com";
constexpr const char* kImagesAddress = "https://api.openai.com";

std::optional<std::string> from_environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

nlohmann::ordered_json label(const std::optional<std::string>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

host::ServiceResult call_service(const GenerateOptions& o, const std::string& base_url,
                                 const std::string& api_key, host::Dialect dialect,
                                 std::shared_ptr<host::HttpClient> http, host::CallReport& report) {
  host::Files files = std::vector<host::Reference>(o.refs.begin(), o.refs.end());
  std::optional<host::Timeout> timeout;
  if (o.timeout_seconds > 0) timeout = host::Timeout::from_seconds(0, o.timeout_seconds);
  if (o.service == "gemini") {
    image::tavelin::TavelinaOptions client_options;
    client_options.http_client = std::move(http);
    client_options.dialect = dialect;
    image::tavelin::TavelinaClient client(base_url, api_key, client_options);
    host::CallOptions options;
    options.task_id = label(o.task_id);
    options.model_key = label(o.model_key);
    options.timeout = timeout;
    options.report = &report;
    return client.start(o.prompt, o.aspect_ratio.value_or(image::tavelin::kDefaultAspectRatio),
                        o.image_size.value_or(image::tavelin::kDefaultImageSize), files,
                        o.model.value_or(image::tavelin::kDefaultModel), options);
  }
  image::corvane::CorvaneOptions client_options;
  client_options.http_client = std::move(http);
  client_options.dialect = dialect;
  image::corvane::CorvaneClient client(base_url, api_key, client_options);
  image::corvane::ImageCallOptions options;
  options.task_id = label(o.task_id);
  options.model_key = label(o.model_key);
  options.timeout = timeout;
  options.model = o.model;
  options.response_format = o.response_format;
  options.report = &report;
  return client.start(o.prompt, o.aspect_ratio.value_or(""), o.quality.value_or(""),
                      o.image_size.value_or(""), files, options);
}

}  // namespace

host::Dialect resolve_dialect(const std::string& requested, const std::string& service,
                              const std::string& base_url) {
  if (auto chosen = host::parse_dialect(requested)) return *chosen;
  std::string address = base_url;
  while (address.ends_with('/')) address.pop_back();
  return address == (service == "gemini" ? kGeminiAddress : kImagesAddress)
             ? host::Dialect::kDirect
             : host::Dialect::kGateway;
}

int run_generate(GenerateOptions o) {
  const bool gemini = o.service == "gemini";
  const std::string base_url =
      o.base_url ? *o.base_url
                 : from_environment(gemini ? "ZANTREL_GEMINI_BASE_URL" : "ZANTREL_IMAGES_BASE_URL")
                       .value_or(gemini ? kGeminiAddress : kImagesAddress);
  const std::optional<std::string> api_key =
      o.api_key ? o.api_key
                : from_environment(gemini ? "ZANTREL_GEMINI_API_KEY" : "ZANTREL_IMAGES_API_KEY");
  if (!api_key && base_url == (gemini ? kGeminiAddress : kImagesAddress)) {
    std::cerr << "zantrel-image: no API key for " << base_url << ": pass --api-key or set "
              << (gemini ? "ZANTREL_GEMINI_API_KEY" : "ZANTREL_IMAGES_API_KEY")
              << " (or try `zantrel-image demo`, which needs none)\n";
    return kUsageError;
  }
  if (o.timeout_seconds < 0) {
    std::cerr << "zantrel-image: --timeout must not be negative\n";
    return kUsageError;
  }

  if (o.dialect != "auto" && !host::parse_dialect(o.dialect)) {
    std::cerr << "zantrel-image: --dialect must be auto, gateway or direct\n";
    return kUsageError;
  }
  const host::Dialect dialect = resolve_dialect(o.dialect, o.service, base_url);

  host::CurlHttpClientOptions http;
  http.link_addresses =
      o.allow_private_links ? host::LinkAddressPolicy::kAny : host::LinkAddressPolicy::kPublicOnly;
  http.ca_file = o.ca_file.value_or("");
  auto http_client = std::make_shared<host::CurlHttpClient>(http);

  std::optional<host::ServiceResult> result;
  host::CallReport report;
  const bool spinner = !o.json && ::isatty(STDERR_FILENO) == 1;
  run_with_spinner("generating with " + o.service, spinner, [&] {
    result.emplace(call_service(o, base_url, api_key.value_or(""), dialect, http_client, report));
  });

  std::optional<std::string> out;
  if (const host::Bytes* image = result->bytes()) {
    out = o.out ? *o.out : default_output_name(o.service, *image);
    try {
      write_file_atomically(*out, *image);
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << e.what() << "\n";
      return kFailedResult;
    }
  }
  if (o.json) {
    std::cout << json_report(*result, out, dialect, report) << std::endl;
    return result->ok() ? kSuccess : kFailedResult;
  }
  (result->ok() ? std::cout : std::cerr) << human_summary(*result, out, report) << "\n";
  return result->ok() ? kSuccess : kFailedResult;
}

}  // namespace zantrel::cli
