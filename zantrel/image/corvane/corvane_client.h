#pragma once

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/references.h"
#include "zantrel/host/request_entries.h"
#include "zantrel/host/result/prepared_request.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/host/service_client.h"
#include "zantrel/image/corvane/image_request.h"

namespace zantrel::image::corvane {

// The client's options: model tag, logger, HTTP stack, dialect, retry policy.
struct CorvaneDefaults {
  static constexpr const char* kModelTag = kDefaultModelTag;
};
using CorvaneOptions = host::ClientOptions<CorvaneDefaults>;

// Options of one images call: the common ones, plus the model and the response format.
struct ImageCallOptions : host::CallOptions {
  std::optional<std::string> model;            // default kDefaultModel
  std::optional<std::string> response_format;  // default kDefaultResponseFormat
};

// A reference image as a form part: (field name, content).
using ImagePart = std::pair<std::string, host::Bytes>;
using ImageParts = std::vector<ImagePart>;

// Client for an images API (generations and edits endpoints). One call = one request = one
// ServiceResult; nothing is retried unless a retry policy says so. Read-only after construction;
// may be shared by threads.
class CorvaneClient : public host::ServiceClient,
                      public host::RequestEntries<CorvaneClient, ImageRequest> {
 public:
  using Entries = host::RequestEntries<CorvaneClient, ImageRequest>;
  using Options = CorvaneOptions;

  CorvaneClient(std::string base_url, std::string api_key, Options options = {});

  // Sends the one request of a call: a multipart form to ".../edits" when `files` holds parts,
  // else a JSON body to ".../generations". Returns the response unread; catches nothing.
  host::HttpResponse _generate_completions(
      const nlohmann::ordered_json& task_id, const nlohmann::ordered_json& model_key,
      const nlohmann::ordered_json& payload, const std::optional<ImageParts>& files = std::nullopt,
      const std::optional<host::Timeout>& timeout = std::nullopt) const;

  // One generation; every failure after entry becomes a result.
  host::ServiceResult generate_image(const std::string& prompt,
                                     const std::string& aspect_ratio = "",
                                     const std::string& quality = "",
                                     const std::string& image_size = "",
                                     const std::optional<ImageParts>& files = std::nullopt,
                                     const ImageCallOptions& options = {}) const;

  // `start` without blocking: the call runs on the HTTP client's event thread (for a client
  // without one, on this thread before returning) and its result, records and report are those
  // of `start`. Cancel it through `options.stop`. The client, its logger and HTTP client are
  // kept alive by the call; `options.report` must outlive it.
  std::future<host::ServiceResult> start_async(std::string prompt, std::string aspect_ratio = "",
                                               std::string quality = "",
                                               std::string image_size = "", host::Files files = {},
                                               ImageCallOptions options = {}) const;
  // The same, handing the result to `on_done` (see ResultCallback: it must not block).
  void start_async(std::string prompt, std::string aspect_ratio, std::string quality,
                   std::string image_size, host::Files files, ImageCallOptions options,
                   host::ResultCallback on_done) const;

  // Public entry: loads the references (links, paths, bytes) as "image" parts and generates.
  // Never throws: a failure becomes one debug record and SERVICE_BUSY.
  host::ServiceResult start(const std::string& prompt, const std::string& aspect_ratio = "",
                            const std::string& quality = "", const std::string& image_size = "",
                            const host::Files& files = {},
                            const ImageCallOptions& options = {}) const;

  // The same entries with every parameter by name (host::RequestEntries), the service's own
  // beyond the contract's (n, output format and compression, background, moderation, input
  // fidelity, mask, user, extra members; the request names the model and response format,
  // `options` gives the rest): start, start_async, result_of and continue_with, whose edit
  // takes the last image the model answered as its first "image" part, the request's own
  // references after it.
  using Entries::start;
  using Entries::start_async;
  // The request `start` would send, made without sending it (the same checks and members): its
  // path and body, a generation's JSON as sent, an edit in the endpoint's JSON form ("images"
  // as data URLs, "mask" beside). For a host's own queue or a batch file. Throws
  // InvalidArgument with the refusal's text for a request `start` would refuse.
  host::PreparedRequest prepare(const ImageRequest& request) const;
  // The service's batch engine (/v1/batches) and file store (/v1/files) on this client's
  // address, key and HTTP stack (its own, else the shared one as it is now).
  host::ServiceBatches batches() const;

  // Beside the shared accessors (the base URL given with "/v1/images" appended, model tag,
  // logger, dialect, HTTP stack, retry policy).
  const std::string& token() const noexcept { return secret(); }
};

}  // namespace zantrel::image::corvane
