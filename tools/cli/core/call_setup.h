#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "zantrel/host/base/dialect.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/corvane/image_request.h"
#include "zantrel/image/tavelin/generation_request.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::cli {

// Everything the gemini and images subcommands take.
struct GenerateOptions {
  host::Service service = host::Service::kGemini;
  std::string prompt;
  std::optional<std::string> base_url;
  std::optional<std::string> api_key;
  std::optional<std::string> aspect_ratio;
  std::optional<std::string> image_size;
  std::optional<std::string> model;
  std::optional<std::string> quality;          // images only
  std::optional<std::string> response_format;  // images only
  // Images only: the service's own parameters beyond the contract's.
  std::optional<std::string> output_format;
  std::optional<int> output_compression;
  std::optional<std::string> background;
  std::optional<std::string> moderation;
  std::optional<std::string> input_fidelity;
  std::optional<std::string> mask;  // a PNG file or link
  std::optional<std::string> complexity;
  std::optional<std::string> user;
  std::optional<std::string> safety_identifier;
  std::optional<int> partial_images;  // with `stream`
  // Gemini only: the service's own parameters beyond the contract's.
  std::optional<std::int64_t> seed;
  std::optional<double> temperature;
  std::vector<std::string> safety;  // CATEGORY=THRESHOLD
  std::optional<std::string> thinking_level;
  bool text = false;                 // TEXT+IMAGE, the model's text printed
  bool upload_refs = false;          // references through the Files API, named by link
  std::optional<std::string> extra;  // both: a JSON object merged into the body
  // Both: the answer as a stream of events, its previews written to `previews_dir` as they
  // arrive (NAME.partial-K.EXT, NAME.thought-K.EXT).
  bool stream = false;
  std::optional<std::string> previews_dir;
  // Gemini: a conversation saved as JSON to continue (the new turns are added to it), and where
  // to save the conversation with this call's turn (default: the --continue file).
  std::optional<std::string> continue_from;
  std::optional<std::string> save_turn;
  std::vector<std::string> refs;
  double timeout_seconds = 0;
  // Gemini: calls run at once (each its own request and image). Images: images of the one
  // request. 1 to kMaxCount; > 1 numbers the files NAME-1.EXT ...
  int count = 1;
  // Gemini -n: no further call once the estimated cost of those made would pass this (0 sends
  // nothing); the first call goes alone, the rest at its price. Images: 0 sends nothing.
  std::optional<double> max_cost_usd;
  // Bound on each call as a whole, in seconds (0 = none).
  double deadline_seconds = 0;
  // Requests per call at most (1 = no retry); see host::RetryPolicy for what is retried.
  int retry_attempts = 1;
  std::optional<std::string> task_id;
  std::optional<std::string> model_key;
  std::optional<std::string> out;
  bool json = false;
  // Leave the image's facts (prompt, model, parameters, ...) out of the file written.
  bool no_metadata = false;
  // --preview: "" (not given: on a terminal that draws pictures), "auto", "kitty", "sixel" or
  // "off"; a small picture of each image written is drawn below its line.
  std::string preview;
  // Returned and reference links may lead to this machine or a private network (emulator,
  // local services). Off by default: such links are refused.
  bool allow_private_links = false;
  // CA bundle to trust for https instead of the system's.
  std::optional<std::string> ca_file;
  // "auto" (direct for the service's public address, else gateway), "gateway" or "direct".
  std::string dialect = "auto";
  // Each call as a job the service holds (Gemini's Interactions API, the Responses API),
  // recorded under the user's state folder before it waits; `detach`: submitted and recorded
  // only, collected later by `zantrel-image jobs collect`.
  bool job = false;
  bool detach = false;
};

// Images of one command at most, as the images API bounds its `n`.
inline constexpr int kMaxCount = 10;

// Why the run-wide options of `o` can't be used (a NaN or negative time or budget, -n out of
// range, no retry), checked before anything is sent; nothing when they can. A huge time means
// no limit.
std::optional<std::string> call_usage_fault(const GenerateOptions& o);

// The wire dialect for a base URL: `requested` unless it is "auto", which picks direct for the
// service's public address and gateway for anything else (a gateway, the emulator).
host::Dialect resolve_dialect(const std::string& requested, host::Service service,
                              const std::string& base_url);

// Where a service is reached and with which key.
struct ServiceAccess {
  std::string base_url;
  std::string api_key;
};

// The flags' values, else the environment's (ZANTREL_GEMINI_BASE_URL, ..._API_KEY and the images
// ones), else the public address; nothing without a key for a public one (`service_access`
// prints why).
std::optional<ServiceAccess> service_access_if_any(host::Service service,
                                                   const std::optional<std::string>& base_url,
                                                   const std::optional<std::string>& api_key);
std::optional<ServiceAccess> service_access(host::Service service,
                                            const std::optional<std::string>& base_url,
                                            const std::optional<std::string>& api_key);

// Where a service is reached by the flags and the environment, with whatever key they give
// (possibly none): enough to check a request, not to send it.
ServiceAccess service_address(host::Service service, const std::optional<std::string>& base_url);

// The HTTP client of a run: links to this machine or private networks only when allowed.
// `max_response_bytes` (0: the default cap) bounds each answer.
std::shared_ptr<host::HttpClient> make_http_client(bool allow_private_links,
                                                   const std::optional<std::string>& ca_file,
                                                   std::size_t max_response_bytes = 0);

// What the calls of one run share besides their parameters.
struct CallSetup {
  ServiceAccess access;
  host::Dialect dialect = host::Dialect::kGateway;
  std::shared_ptr<host::HttpClient> http;
  std::stop_token stop;
  host::ProgressObserver on_progress{};
};

// Why the library would refuse the call of `o` before sending it (its model, ratio, size,
// members, prompt, a reference that does not load), asked of the client without sending
// anything; nothing when it would go out.
std::optional<std::string> call_refusal(const GenerateOptions& o, const CallSetup& setup);

// The options of one call of `o` (its deadline counted from now), its report in `report`.
host::CallOptions call_options_of(const GenerateOptions& o, const CallSetup& setup,
                                  host::CallReport& report);
// The Gemini client of `setup`, and the request of `o` (its members checked before).
image::tavelin::TavelinaClient gemini_client(const CallSetup& setup);
image::tavelin::GenerationRequest gemini_request_of(const GenerateOptions& o);
// The same for the images API.
image::corvane::CorvaneClient images_client(const CallSetup& setup);
image::corvane::ImageRequest images_request_of(const GenerateOptions& o);

// The service's own batch engine and file store on `setup`'s address, key and HTTP stack
// (Gemini's requests inline in a batch below `inline_limit_bytes`), and the options of its
// calls: each ended by the run's stop.
host::ServiceBatches service_batches(host::Service service, const CallSetup& setup,
                                     std::size_t inline_limit_bytes);
host::CallOptions batch_call_options(const CallSetup& setup);

// Starts one call of `o` (its deadline counted from now) on the library's event thread;
// `on_done` gets the result there.
void start_call(const GenerateOptions& o, const CallSetup& setup, host::CallReport& report,
                host::ResultCallback on_done);

// The Gemini members of `o` beyond the contract's, into `request`; the reason when one can't be
// used (a safety rule without "=", an extra that is not a JSON object).
std::optional<std::string> gemini_members(const GenerateOptions& o,
                                          image::tavelin::GenerationRequest& request);

// The images members of `o` beyond the contract's, into `request` (`count` as its n); the
// reason when one can't be used (an extra that is not a JSON object).
std::optional<std::string> images_members(const GenerateOptions& o,
                                          image::corvane::ImageRequest& request);

}  // namespace zantrel::cli
