#include "tools/cli/core/call_setup.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/references.h"
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

host::CallOptions call_options_of(const GenerateOptions& o, const CallSetup& setup,
                                  host::CallReport& report) {
  host::CallOptions options;
  options.task_id = label(o.task_id);
  options.model_key = label(o.model_key);
  if (o.timeout_seconds > 0) options.timeout = host::Timeout::from_seconds(0, o.timeout_seconds);
  options.report = &report;
  options.stop = setup.stop;
  if (o.deadline_seconds > 0) {
    options.deadline =
        std::chrono::steady_clock::now() + host::millis_of_seconds(o.deadline_seconds);
  }
  options.retry =
      host::RetryPolicy{o.retry_attempts, std::chrono::seconds(1), std::chrono::seconds(30), false};
  options.stream = o.stream;
  options.on_progress = setup.on_progress;
  // A conversation's turn as a job (the single commands submit and collect on their own).
  options.background = o.job;
  return options;
}

image::tavelin::TavelinaClient gemini_client(const CallSetup& setup) {
  image::tavelin::TavelinaOptions client_options;
  client_options.http_client = setup.http;
  client_options.dialect = setup.dialect;
  return {setup.access.base_url, setup.access.api_key, client_options};
}

image::tavelin::GenerationRequest gemini_request_of(const GenerateOptions& o) {
  image::tavelin::GenerationRequest request{
      .prompt = o.prompt,
      .aspect_ratio = o.aspect_ratio.value_or(image::tavelin::kDefaultAspectRatio),
      .image_size = o.image_size.value_or(image::tavelin::kDefaultImageSize),
      .files = std::vector<host::Reference>(o.refs.begin(), o.refs.end()),
      .model = o.model.value_or(image::tavelin::kDefaultModel)};
  // Checked by run_generate before any call starts.
  (void)gemini_members(o, request);
  return request;
}

void start_call(const GenerateOptions& o, const CallSetup& setup, host::CallReport& report,
                host::ResultCallback on_done) {
  if (o.service == host::Service::kGemini) {
    gemini_client(setup).start_async(gemini_request_of(o), call_options_of(o, setup, report),
                                     std::move(on_done));
    return;
  }
  images_client(setup).start_async(images_request_of(o), call_options_of(o, setup, report),
                                   std::move(on_done));
}

host::ServiceBatches service_batches(host::Service service, const CallSetup& setup,
                                     std::size_t inline_limit_bytes) {
  return service == host::Service::kGemini ? gemini_client(setup).batches(inline_limit_bytes)
                                           : images_client(setup).batches();
}

host::CallOptions batch_call_options(const CallSetup& setup) {
  host::CallOptions options;
  options.stop = setup.stop;
  return options;
}

image::corvane::CorvaneClient images_client(const CallSetup& setup) {
  image::corvane::CorvaneOptions client_options;
  client_options.http_client = setup.http;
  client_options.dialect = setup.dialect;
  return {setup.access.base_url, setup.access.api_key, client_options};
}

image::corvane::ImageRequest images_request_of(const GenerateOptions& o) {
  image::corvane::ImageRequest request{
      .prompt = o.prompt,
      .aspect_ratio = o.aspect_ratio.value_or(""),
      .quality = o.quality.value_or(""),
      .image_size = o.image_size.value_or(""),
      .files = std::vector<host::Reference>(o.refs.begin(), o.refs.end()),
      .model = o.model.value_or(image::corvane::kDefaultModel),
      .response_format = o.response_format};
  // Checked by run_generate before any call starts.
  (void)images_members(o, request);
  return request;
}

std::optional<ServiceAccess> service_access_if_any(host::Service service,
                                                   const std::optional<std::string>& base_url,
                                                   const std::optional<std::string>& api_key) {
  const bool gemini = service == host::Service::kGemini;
  const char* public_address = gemini ? kGeminiAddress : kImagesAddress;
  ServiceAccess access;
  access.base_url =
      base_url ? *base_url
               : from_environment(gemini ? "ZANTREL_GEMINI_BASE_URL" : "ZANTREL_IMAGES_BASE_URL")
                     .value_or(public_address);
  const std::optional<std::string> key =
      api_key ? api_key
              : from_environment(gemini ? "ZANTREL_GEMINI_API_KEY" : "ZANTREL_IMAGES_API_KEY");
  if (!key && access.base_url == public_address) return std::nullopt;
  access.api_key = key.value_or("");
  return access;
}

ServiceAccess service_address(host::Service service, const std::optional<std::string>& base_url) {
  if (auto access = service_access_if_any(service, base_url, std::nullopt)) return *access;
  return {service == host::Service::kGemini ? kGeminiAddress : kImagesAddress, ""};
}

std::optional<std::string> call_refusal(const GenerateOptions& o, const CallSetup& setup) {
  try {
    if (o.service == host::Service::kGemini) {
      image::tavelin::GenerationRequest request = gemini_request_of(o);
      if (auto fault = gemini_members(o, request)) return fault;
      (void)gemini_client(setup).prepare(request);
    } else {
      image::corvane::ImageRequest request = images_request_of(o);
      if (auto fault = images_members(o, request)) return fault;
      (void)images_client(setup).prepare(request);
    }
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

std::optional<ServiceAccess> service_access(host::Service service,
                                            const std::optional<std::string>& base_url,
                                            const std::optional<std::string>& api_key) {
  std::optional<ServiceAccess> access = service_access_if_any(service, base_url, api_key);
  if (!access) {
    const bool gemini = service == host::Service::kGemini;
    std::cerr << "zantrel-image: no API key for " << (gemini ? kGeminiAddress : kImagesAddress)
              << ": pass --api-key or set "
              << (gemini ? "ZANTREL_GEMINI_API_KEY" : "ZANTREL_IMAGES_API_KEY")
              << " (or try `zantrel-image demo`, which needs none)\n";
  }
  return access;
}

std::shared_ptr<host::HttpClient> make_http_client(bool allow_private_links,
                                                   const std::optional<std::string>& ca_file,
                                                   std::size_t max_response_bytes) {
  host::CurlHttpClientOptions http;
  if (max_response_bytes > 0) http.max_response_bytes = max_response_bytes;
  http.link_addresses =
      allow_private_links ? host::LinkAddressPolicy::kAny : host::LinkAddressPolicy::kPublicOnly;
  http.ca_file = ca_file.value_or("");
  return std::make_shared<host::CurlHttpClient>(http);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the CLI's order
host::Dialect resolve_dialect(const std::string& requested, host::Service service,
                              const std::string& base_url) {
  if (auto chosen = host::parse_dialect(requested)) return *chosen;
  std::string address = base_url;
  while (address.ends_with('/')) address.pop_back();
  return address == (service == host::Service::kGemini ? kGeminiAddress : kImagesAddress)
             ? host::Dialect::kDirect
             : host::Dialect::kGateway;
}

namespace {

// The --extra text as a JSON object, or why it is none.
std::optional<std::string> extra_object(const std::optional<std::string>& text,
                                        nlohmann::ordered_json& into) {
  if (!text) return std::nullopt;
  try {
    into = nlohmann::ordered_json::parse(*text);
  } catch (const std::exception& e) {
    return std::string("--extra is not JSON: ") + e.what();
  }
  if (!into.is_object()) return "--extra takes a JSON object";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> gemini_members(const GenerateOptions& o,
                                          image::tavelin::GenerationRequest& request) {
  request.seed = o.seed;
  request.temperature = o.temperature;
  request.thinking_level = o.thinking_level;
  request.with_text = o.text;
  request.upload_references = o.upload_refs;
  for (const std::string& rule : o.safety) {
    const auto equals = rule.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == rule.size()) {
      return "--safety takes CATEGORY=THRESHOLD, not " + rule;
    }
    request.safety_settings.push_back({rule.substr(0, equals), rule.substr(equals + 1)});
  }
  return extra_object(o.extra, request.extra);
}

std::optional<std::string> images_members(const GenerateOptions& o,
                                          image::corvane::ImageRequest& request) {
  request.n = o.count;
  request.output_format = o.output_format;
  request.output_compression = o.output_compression;
  request.background = o.background;
  request.moderation = o.moderation;
  request.input_fidelity = o.input_fidelity;
  if (o.mask) request.mask = *o.mask;
  request.complexity = o.complexity;
  request.user = o.user;
  request.safety_identifier = o.safety_identifier;
  request.partial_images = o.partial_images;
  return extra_object(o.extra, request.extra);
}

std::optional<std::string> call_usage_fault(const GenerateOptions& o) {
  // NaN compares false both ways: it fails these `>= 0` tests.
  if (!(o.timeout_seconds >= 0) || !(o.deadline_seconds >= 0)) {
    return "--timeout and --deadline take seconds from 0 (a huge value means no limit)";
  }
  if (o.max_cost_usd && !(std::isfinite(*o.max_cost_usd) && *o.max_cost_usd >= 0)) {
    return "--max-cost takes US dollars from 0 (0 sends nothing)";
  }
  if (o.count < 1 || o.count > kMaxCount) {
    return "-n takes a whole number from 1 to " + std::to_string(kMaxCount);
  }
  if (o.retry_attempts < 1) return "--retry takes a whole number from 1";
  return std::nullopt;
}

}  // namespace zantrel::cli
