#pragma once

#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/batches/service_batches.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/config.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/references.h"
#include "zantrel/host/request_entries.h"
#include "zantrel/host/result/prepared_request.h"
#include "zantrel/host/result/service_result.h"
#include "zantrel/host/service_client.h"
#include "zantrel/image/tavelin/generation_request.h"

namespace zantrel::image::tavelin {

// The client's options: model tag, logger, HTTP stack, dialect, retry policy.
struct TavelinaDefaults {
  static constexpr const char* kModelTag = kDefaultModelTag;
};
using TavelinaOptions = host::ClientOptions<TavelinaDefaults>;
// The turns of a multi-turn edit (see TavelinaClient::continue_with).
using Conversation = host::Conversation;

// Client for the Gemini generateContent image API. One call = one request = one ServiceResult;
// nothing is retried unless a retry policy says so. The object is read-only after construction
// and may be shared by threads.
class TavelinaClient : public host::ServiceClient,
                       public host::RequestEntries<TavelinaClient, GenerationRequest> {
 public:
  using Options = TavelinaOptions;
  using Entries = host::RequestEntries<TavelinaClient, GenerationRequest>;

  TavelinaClient(std::string base_url, std::string api_key, Options options = {});

  // MIME type from the image's leading bytes: png, jpeg, gif or webp; "image/jpeg" otherwise.
  static std::string _detect_mime_type(host::ByteView image_bytes);
  // {"inlineData": {"mimeType": mime_type, "data": base64 of the bytes}}.
  static nlohmann::ordered_json _bytes_to_part(host::ByteView image_bytes,
                                               std::string_view mime_type = "image/jpeg");
  // The text part, then one inline-data part per image, in order.
  nlohmann::ordered_json _build_parts(const std::vector<host::Bytes>& image_bytes_list,
                                      const std::string& prompt) const;
  // The request body as an ordered map (without "response_format" in the direct dialect). The
  // bytes actually posted are written directly by the request writer and equal its JSON text.
  nlohmann::ordered_json _build_body_data(
      const std::string& prompt,
      const std::optional<std::vector<host::Bytes>>& image_bytes_list = std::nullopt,
      const std::optional<std::string>& aspect_ratio = kDefaultAspectRatio,
      const std::optional<std::string>& image_size = kDefaultImageSize) const;
  // The file links of a decoded response body, in document order, and its "responseId".
  static std::pair<std::vector<std::string>, std::optional<std::string>> _extract_file_uris(
      const nlohmann::ordered_json& data_dict);

  // One generateContent request; every failure of the exchange becomes a result.
  host::ServiceResult generate_image(
      const std::string& prompt,
      const std::optional<std::vector<host::Bytes>>& image_bytes_list = std::nullopt,
      const config::AspectRatio& aspect_ratio = kDefaultAspectRatio,
      const std::optional<std::string>& image_size = kDefaultImageSize,
      const config::GeminiModel& model = kDefaultModel,
      const host::CallOptions& options = {}) const;

  // Public entry: checks the ratio, loads the references (links, paths, bytes), generates.
  // Never throws: a failure becomes one debug record and SERVICE_BUSY.
  host::ServiceResult start(const std::string& prompt,
                            const config::AspectRatio& aspect_ratio = kDefaultAspectRatio,
                            const std::string& image_size = kDefaultImageSize,
                            const host::Files& files = {},
                            const config::GeminiModel& model = kDefaultModel,
                            const host::CallOptions& options = {}) const;

  // The same entries with every parameter by name (host::RequestEntries), the service's own
  // beyond the contract's (seed, temperature, safety settings, thinking level, text, extra
  // members): start, start_async, result_of (file links in the answer are fetched) and
  // continue_with, which sends every turn of the conversation again (each part's thought
  // signature unchanged), then the request's prompt and references. A history the model would
  // refuse (an answered image whose signature is gone) is refused before sending, with the
  // service's own text.
  using Entries::start;
  using Entries::start_async;

  // The request `start` would send, made without sending it (the same checks and writer): its
  // path and exact body, references inline (links fetched, paths read). For a host's own queue
  // or a batch file. Throws InvalidArgument with the refusal's text for a request `start` would
  // refuse, and what loading a reference throws.
  host::PreparedRequest prepare(const GenerationRequest& request) const;

  // The service's batch engine and Files API on this client's address, key and HTTP stack (its
  // own, else the shared one as it is now). A batch whose requests come to less than
  // `inline_limit_bytes` goes inline in its create; a larger one as a JSONL file uploaded first.
  host::ServiceBatches batches(std::size_t inline_limit_bytes = kInlineBatchBytes) const;
  static constexpr std::size_t kInlineBatchBytes = 20'000'000;

  // Uploads `bytes` to the service's Files API, as references are uploaded (the resumable
  // protocol, a cut resumed from the byte the service holds), and gives the file it is kept as
  // for 48 hours: a batch's input file, say. Throws host::ServiceRefused naming the service's
  // status and text when it refuses the upload, and the HTTP stack's failures past the resumes.
  host::UploadedFile upload_file(host::ByteView bytes, const std::string& mime_type,
                                 const std::string& display_name,
                                 const host::CallOptions& options = {}) const;

  // `start` without blocking: the call runs on the HTTP client's event thread (for a client
  // without one, on this thread before returning) and its result, records and report are those
  // of `start`. Cancel it through `options.stop`. The client, its logger and HTTP client are
  // kept alive by the call; `options.report` must outlive it.
  std::future<host::ServiceResult> start_async(std::string prompt,
                                               std::string aspect_ratio = kDefaultAspectRatio,
                                               std::string image_size = kDefaultImageSize,
                                               host::Files files = {},
                                               std::string model = kDefaultModel,
                                               host::CallOptions options = {}) const;
  // The same, handing the result to `on_done` (see ResultCallback: it must not block).
  void start_async(std::string prompt, std::string aspect_ratio, std::string image_size,
                   host::Files files, std::string model, host::CallOptions options,
                   host::ResultCallback on_done) const;

  // Beside the shared accessors (the base URL as given, model tag, logger, dialect, HTTP stack,
  // retry policy).
  const std::string& api_key() const noexcept { return secret(); }
};

}  // namespace zantrel::image::tavelin
