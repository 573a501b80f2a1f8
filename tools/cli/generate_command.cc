#include "tools/cli/generate_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <vector>

#include "tools/cli/conversation_turn.h"
#include "tools/cli/image_facts.h"
#include "tools/cli/output.h"
#include "tools/cli/signal_stop.h"
#include "tools/cli/spinner.h"
#include "tools/cli/stream_progress.h"
#include "tools/cli/terminal_preview.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/images/image_mime.h"
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
  if (o.service == "gemini") {
    gemini_client(setup).start_async(gemini_request_of(o), call_options_of(o, setup, report),
                                     std::move(on_done));
    return;
  }
  images_client(setup).start_async(images_request_of(o), call_options_of(o, setup, report),
                                   std::move(on_done));
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

std::optional<ServiceAccess> service_access_if_any(const std::string& service,
                                                   const std::optional<std::string>& base_url,
                                                   const std::optional<std::string>& api_key) {
  const bool gemini = service == "gemini";
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

ServiceAccess service_address(const std::string& service,
                              const std::optional<std::string>& base_url) {
  if (auto access = service_access_if_any(service, base_url, std::nullopt)) return *access;
  return {service == "gemini" ? kGeminiAddress : kImagesAddress, ""};
}

std::optional<std::string> call_refusal(const GenerateOptions& o, const CallSetup& setup) {
  try {
    if (o.service == "gemini") {
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

std::optional<ServiceAccess> service_access(const std::string& service,
                                            const std::optional<std::string>& base_url,
                                            const std::optional<std::string>& api_key) {
  std::optional<ServiceAccess> access = service_access_if_any(service, base_url, api_key);
  if (!access) {
    const bool gemini = service == "gemini";
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

namespace {

// What the previews of call `index` (from 1) of `calls` are named before their kind and number:
// the --out name without its extension, else zantrel-SERVICE, in the --previews folder.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the call's number, then how many
std::string preview_stem(const GenerateOptions& o, int index, int calls) {
  std::filesystem::path stem =
      o.out ? std::filesystem::path(*o.out).stem().string() : "zantrel-" + o.service;
  if (calls > 1) stem += "-" + std::to_string(index);
  return (std::filesystem::path(o.previews_dir.value_or(".")) / stem).string();
}

// How many of `calls` may run under `budget` once the first has cost what `first` says: as many
// as fit at its price, the first included; only the first when it had no price.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the budget, then the calls asked
std::size_t affordable_calls(const host::CallReport& first, double budget, std::size_t calls) {
  if (!first.cost) return 1;
  const double each = first.cost->usd;
  if (each <= 0) return calls;
  const double fit = std::floor(budget / each + 1e-9);
  return std::clamp<std::size_t>(fit < 1 ? 1 : static_cast<std::size_t>(std::min(fit, 1e6)), 1,
                                 calls);
}

// Why the images of `o` can't be written where they go, told before anything is sent.
std::optional<std::string> outputs_fault(const GenerateOptions& o) {
  if (!o.out) return output_fault(default_output_name(o.service, {}));
  if (o.count == 1) return output_fault(*o.out);
  for (int index = 1; index <= o.count; ++index) {
    if (auto fault = output_fault(numbered_name(*o.out, index))) return fault;
  }
  return std::nullopt;
}

// Where image `index` (from 1) of `count` goes.
std::string output_name(const GenerateOptions& o, host::ByteView image, int index) {
  const std::string name = o.out ? *o.out : default_output_name(o.service, image);
  return o.count > 1 ? numbered_name(name, index) : name;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the CLI's order
host::Dialect resolve_dialect(const std::string& requested, const std::string& service,
                              const std::string& base_url) {
  if (auto chosen = host::parse_dialect(requested)) return *chosen;
  std::string address = base_url;
  while (address.ends_with('/')) address.pop_back();
  return address == (service == "gemini" ? kGeminiAddress : kImagesAddress)
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

int run_generate(const GenerateOptions& o) {
  if (auto fault = call_usage_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return kUsageError;
  }
  if (o.continue_from || o.save_turn) return run_turn(o);
  image::tavelin::GenerationRequest gemini_checked;
  image::corvane::ImageRequest images_checked;
  if (auto fault = o.service == "gemini" ? gemini_members(o, gemini_checked)
                                         : images_members(o, images_checked)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return kUsageError;
  }
  const auto access = service_access(o.service, o.base_url, o.api_key);
  if (!access) return kUsageError;
  if (auto fault = outputs_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "; nothing was sent\n";
    return kUsageError;
  }

  if (o.dialect != "auto" && !host::parse_dialect(o.dialect)) {
    std::cerr << "zantrel-image: --dialect must be auto, gateway or direct\n";
    return kUsageError;
  }
  const host::Dialect dialect = resolve_dialect(o.dialect, o.service, access->base_url);

  if (o.partial_images && !o.stream) {
    std::cerr << "zantrel-image: --partial-images needs --stream\n";
    return kUsageError;
  }
  if (o.previews_dir && !o.stream) {
    std::cerr << "zantrel-image: --previews needs --stream\n";
    return kUsageError;
  }
  std::optional<PreviewWriter> previews;
  if (o.previews_dir) {
    std::error_code error;
    std::filesystem::create_directories(*o.previews_dir, error);
    if (error || !std::filesystem::is_directory(*o.previews_dir)) {
      std::cerr << "zantrel-image: cannot make the folder " << *o.previews_dir << "\n";
      return kUsageError;
    }
    previews.emplace();
  }

  // Before the library's event thread starts, so that the signals come here.
  const StopOnSignals signals;
  const CallSetup setup{*access, dialect, make_http_client(o.allow_private_links, o.ca_file),
                        signals.token()};

  // All calls are in flight at once on one event thread; their reports stay where they are. The
  // images API makes all the images of a run in one request. Under --max-cost the first call
  // goes alone and the rest as far as its price allows.
  const std::size_t calls = o.service == "gemini" ? static_cast<std::size_t>(o.count) : 1;
  std::vector<host::CallReport> reports(calls);
  std::vector<CallProgress> progress(calls);
  std::vector<std::future<host::ServiceResult>> running;
  running.reserve(calls);
  const auto launch_up_to = [&](std::size_t wanted) {
    for (std::size_t i = running.size(); i < wanted; ++i) {
      auto promise = std::make_shared<std::promise<host::ServiceResult>>();
      running.push_back(promise->get_future());
      CallSetup own = setup;
      own.on_progress =
          observe_call(progress[i], previews ? &*previews : nullptr,
                       preview_stem(o, static_cast<int>(i) + 1, static_cast<int>(calls)));
      start_call(o, own, reports[i],
                 [promise](host::ServiceResult result) { promise->set_value(std::move(result)); });
    }
  };
  const bool budgeted = o.max_cost_usd.has_value();
  launch_up_to(!budgeted ? calls : *o.max_cost_usd == 0 ? 0 : 1);
  std::vector<host::ServiceResult> results;
  results.reserve(calls);
  const bool spinner = !o.json && ::isatty(STDERR_FILENO) == 1;
  run_with_spinner(
      o.count > 1 ? "generating " + std::to_string(o.count) + " with " + o.service
                  : "generating with " + o.service,
      spinner,
      [&] {
        for (std::size_t i = 0; i < running.size(); ++i) {
          results.push_back(running[i].get());
          if (i == 0 && budgeted)
            launch_up_to(affordable_calls(reports[0], *o.max_cost_usd, calls));
        }
      },
      [&] { return progress_text(progress); });
  if (previews) {
    const auto [written_previews, faults] = previews->drain();
    for (const std::string& fault : faults) std::cerr << "zantrel-image: " << fault << "\n";
    if (!o.json) {
      for (const std::string& path : written_previews) std::cout << "preview " << path << "\n";
    }
  }

  bool all_ok = true;
  int written = 0;                       // images so far, for their numbers
  std::optional<PreviewProtocol> drawn;  // asked of the terminal at the first image only
  for (std::size_t i = 0; i < results.size(); ++i) {
    const host::ServiceResult& result = results[i];
    const auto images = result.images();
    // A failure (or a link) is reported once; each image on its own line.
    for (std::size_t k = 0; k < std::max<std::size_t>(images.size(), 1); ++k) {
      std::optional<std::string> out;
      std::optional<WrittenFile> file;
      bool ok = result.ok();
      std::optional<std::string> write_error;
      if (k < images.size()) {
        out = output_name(o, images[k], ++written);
        const auto facts = o.no_metadata ? std::nullopt : std::optional(image_facts(o, reports[i]));
        try {
          file = write_image_file(*out, images[k], facts);
        } catch (const std::exception& e) {
          // Paid for: kept elsewhere, and the run says where and fails.
          write_error = e.what();
          out = keep_image_elsewhere(o.service, images[k], facts, *write_error, file);
          ok = false;
        }
      } else if (const std::string* link = result.link()) {
        // The service answered a link the call could not fetch: no file, so no success; the
        // link stays in the line for the user to fetch while it lasts.
        write_error = unfetched_link_note(*link);
        std::cerr << "zantrel-image: " << *write_error << "\n";
        ok = false;
      }
      all_ok = all_ok && ok;
      if (o.json) {
        auto report = json_report_object(result, out, dialect, reports[i], k, file);
        if (write_error) {
          report["ok"] = false;
          report["write_error"] = *write_error;
        }
        std::cout << report.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
      } else {
        (result.ok() ? std::cout : std::cerr) << human_summary(result, out, reports[i]) << "\n";
        if (file) {
          if (!drawn) drawn = choose_preview(o.preview);
          show_preview(std::cout, images[k], *drawn);
        }
      }
    }
    if (!o.json && o.text && reports[i].text) std::cout << "text: " << *reports[i].text << "\n";
  }
  if (running.size() < calls) {
    double spent = 0;
    for (const host::CallReport& report : reports) spent += report.cost ? report.cost->usd : 0.0;
    std::cerr << "zantrel-image: stopped at --max-cost: about " << dollars(spent) << " of "
              << dollars(*o.max_cost_usd) << " spent, " << calls - running.size() << " of " << calls
              << (calls > 1 ? " calls" : " call") << " not sent"
              << (!running.empty() && !reports[0].cost
                      ? " (the first answer has no price, so no more can be held to the budget)"
                      : "")
              << "\n";
    all_ok = false;
  }
  if (signals.stopped()) return kInterrupted;
  return all_ok ? kSuccess : kFailedResult;
}

}  // namespace zantrel::cli
