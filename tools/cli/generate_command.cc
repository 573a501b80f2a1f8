#include "tools/cli/generate_command.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <vector>

#include "tools/cli/output.h"
#include "tools/cli/signal_stop.h"
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

}  // namespace

void start_call(const GenerateOptions& o, const CallSetup& setup, host::CallReport& report,
                host::ResultCallback on_done) {
  host::Files files = std::vector<host::Reference>(o.refs.begin(), o.refs.end());
  const auto common = [&](host::CallOptions& options) {
    options.task_id = label(o.task_id);
    options.model_key = label(o.model_key);
    if (o.timeout_seconds > 0) options.timeout = host::Timeout::from_seconds(0, o.timeout_seconds);
    options.report = &report;
    options.stop = setup.stop;
    if (o.deadline_seconds > 0) {
      options.deadline = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(std::llround(o.deadline_seconds * 1000.0));
    }
    options.retry = host::RetryPolicy{o.retry_attempts, std::chrono::seconds(1),
                                      std::chrono::seconds(30), false};
  };
  if (o.service == "gemini") {
    image::tavelin::TavelinaOptions client_options;
    client_options.http_client = setup.http;
    client_options.dialect = setup.dialect;
    image::tavelin::TavelinaClient client(setup.access.base_url, setup.access.api_key,
                                          client_options);
    host::CallOptions options;
    common(options);
    image::tavelin::GenerationRequest request{
        .prompt = o.prompt,
        .aspect_ratio = o.aspect_ratio.value_or(image::tavelin::kDefaultAspectRatio),
        .image_size = o.image_size.value_or(image::tavelin::kDefaultImageSize),
        .files = std::move(files),
        .model = o.model.value_or(image::tavelin::kDefaultModel)};
    // Checked by run_generate before any call starts.
    (void)gemini_members(o, request);
    client.start_async(std::move(request), std::move(options), std::move(on_done));
    return;
  }
  image::corvane::CorvaneOptions client_options;
  client_options.http_client = setup.http;
  client_options.dialect = setup.dialect;
  image::corvane::CorvaneClient client(setup.access.base_url, setup.access.api_key, client_options);
  image::corvane::ImageCallOptions options;
  common(options);
  options.model = o.model;
  options.response_format = o.response_format;
  client.start_async(o.prompt, o.aspect_ratio.value_or(""), o.quality.value_or(""),
                     o.image_size.value_or(""), std::move(files), std::move(options),
                     std::move(on_done));
}

std::optional<ServiceAccess> service_access(const std::string& service,
                                            const std::optional<std::string>& base_url,
                                            const std::optional<std::string>& api_key) {
  const bool gemini = service == "gemini";
  const char* public_address = gemini ? kGeminiAddress : kImagesAddress;
  ServiceAccess access;
  access.base_url =
      base_url ? *base_url
               : from_environment(gemini ? "ZANTREL_GEMINI_BASE_URL" : "ZANTREL_IMAGES_BASE_URL")
                     .value_or(public_address);
  const char* key_variable = gemini ? "ZANTREL_GEMINI_API_KEY" : "ZANTREL_IMAGES_API_KEY";
  const std::optional<std::string> key = api_key ? api_key : from_environment(key_variable);
  if (!key && access.base_url == public_address) {
    std::cerr << "zantrel-image: no API key for " << access.base_url << ": pass --api-key or set "
              << key_variable << " (or try `zantrel-image demo`, which needs none)\n";
    return std::nullopt;
  }
  access.api_key = key.value_or("");
  return access;
}

std::shared_ptr<host::HttpClient> make_http_client(bool allow_private_links,
                                                   const std::optional<std::string>& ca_file) {
  host::CurlHttpClientOptions http;
  http.link_addresses =
      allow_private_links ? host::LinkAddressPolicy::kAny : host::LinkAddressPolicy::kPublicOnly;
  http.ca_file = ca_file.value_or("");
  return std::make_shared<host::CurlHttpClient>(http);
}

namespace {

// Where call `index` (from 1) of `count` writes its image.
std::string output_name(const GenerateOptions& o, const host::Bytes& image, int index) {
  const std::string name = o.out ? *o.out : default_output_name(o.service, image);
  return o.count > 1 ? numbered_name(name, index) : name;
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

std::optional<std::string> gemini_members(const GenerateOptions& o,
                                          image::tavelin::GenerationRequest& request) {
  request.seed = o.seed;
  request.temperature = o.temperature;
  request.thinking_level = o.thinking_level;
  request.with_text = o.text;
  for (const std::string& rule : o.safety) {
    const auto equals = rule.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == rule.size()) {
      return "--safety takes CATEGORY=THRESHOLD, not " + rule;
    }
    request.safety_settings.push_back({rule.substr(0, equals), rule.substr(equals + 1)});
  }
  if (o.extra) {
    try {
      request.extra = nlohmann::ordered_json::parse(*o.extra);
    } catch (const std::exception& e) {
      return std::string("--extra is not JSON: ") + e.what();
    }
    if (!request.extra.is_object()) return "--extra takes a JSON object";
  }
  return std::nullopt;
}

int run_generate(const GenerateOptions& o) {
  if (o.service == "gemini") {
    image::tavelin::GenerationRequest checked;
    if (auto fault = gemini_members(o, checked)) {
      std::cerr << "zantrel-image: " << *fault << "\n";
      return kUsageError;
    }
  }
  const auto access = service_access(o.service, o.base_url, o.api_key);
  if (!access) return kUsageError;
  if (o.timeout_seconds < 0 || o.deadline_seconds < 0) {
    std::cerr << "zantrel-image: --timeout and --deadline must not be negative\n";
    return kUsageError;
  }
  if (o.count < 1 || o.retry_attempts < 1) {
    std::cerr << "zantrel-image: -n and --retry take a whole number from 1\n";
    return kUsageError;
  }

  if (o.dialect != "auto" && !host::parse_dialect(o.dialect)) {
    std::cerr << "zantrel-image: --dialect must be auto, gateway or direct\n";
    return kUsageError;
  }
  const host::Dialect dialect = resolve_dialect(o.dialect, o.service, access->base_url);

  // Before the library's event thread starts, so that the signals come here.
  const StopOnSignals signals;
  const CallSetup setup{*access, dialect, make_http_client(o.allow_private_links, o.ca_file),
                        signals.token()};

  // All calls are in flight at once on one event thread; their reports stay where they are.
  std::vector<host::CallReport> reports(static_cast<std::size_t>(o.count));
  std::vector<std::future<host::ServiceResult>> running;
  running.reserve(reports.size());
  for (host::CallReport& report : reports) {
    auto promise = std::make_shared<std::promise<host::ServiceResult>>();
    running.push_back(promise->get_future());
    start_call(o, setup, report,
               [promise](host::ServiceResult result) { promise->set_value(std::move(result)); });
  }
  std::vector<host::ServiceResult> results;
  results.reserve(reports.size());
  const bool spinner = !o.json && ::isatty(STDERR_FILENO) == 1;
  run_with_spinner(o.count > 1 ? "generating " + std::to_string(o.count) + " with " + o.service
                               : "generating with " + o.service,
                   spinner, [&] {
                     for (auto& call : running) results.push_back(call.get());
                   });

  bool all_ok = true;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const host::ServiceResult& result = results[i];
    std::optional<std::string> out;
    bool ok = result.ok();
    if (const host::Bytes* image = result.bytes()) {
      out = output_name(o, *image, static_cast<int>(i + 1));
      try {
        write_file_atomically(*out, *image);
      } catch (const std::exception& e) {
        std::cerr << "zantrel-image: " << e.what() << "\n";
        out.reset();
        ok = false;
      }
    }
    all_ok = all_ok && ok;
    if (o.json) {
      std::cout << json_report(result, out, dialect, reports[i]) << std::endl;
    } else {
      (result.ok() ? std::cout : std::cerr) << human_summary(result, out, reports[i]) << "\n";
      if (o.text && reports[i].text) std::cout << "text: " << *reports[i].text << "\n";
    }
  }
  if (signals.stopped()) return kInterrupted;
  return all_ok ? kSuccess : kFailedResult;
}

}  // namespace zantrel::cli
