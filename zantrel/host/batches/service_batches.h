#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/batches/batch_types.h"
#include "zantrel/host/call_options.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/http/http_client.h"

namespace zantrel::host {

namespace internal {
class BatchProtocol;
}

// A service's own batch engine and file store, as a client reaches them (see
// TavelinaClient::batches and CorvaneClient::batches): its requests run there within a day at
// half the price. Each call is one or a few short exchanges on the client's HTTP stack, ended by
// `options.stop` and `options.deadline`; `options.timeout` bounds each exchange. Failures are
// thrown: ServiceRefused (the service's status and text) for an error answer, and the HTTP
// stack's failures. `create` alone never throws for the service's answer: what the answer says
// (made, refused, unknown) is its value, since a lost answer needs a look before a new try.
// Copies share the same engine; usable from any thread.
class ServiceBatches {
 public:
  using AnswerSink = std::function<void(const BatchAnswer&)>;
  // A results line that could not be read: its number in the file (blank lines not counted)
  // and why. The line's request is left unanswered.
  using UnreadableSink = std::function<void(int line, const std::string& why)>;

  ServiceBatches(std::shared_ptr<const internal::BatchProtocol> protocol,
                 std::shared_ptr<HttpClient> http, std::string base_url, Headers::value_type auth);

  // The service's limits of one batch: requests, and bytes of its input.
  std::size_t max_requests() const;
  std::size_t max_bytes() const;

  // Makes one batch of `lines` (all to the same path), named `name` so that `find` can tell
  // whether a create whose answer was lost made it.
  CreatedBatch create(const std::vector<BatchLine>& lines, const std::string& name,
                      const CallOptions& options = {}) const;
  BatchStatus get(const std::string& id, const CallOptions& options = {}) const;
  BatchPage list(const std::string& page_token = {}, const CallOptions& options = {}) const;
  // The id of the batch made as `name`, looked for in the newest 2,000 batches.
  std::optional<std::string> find(const std::string& name, const CallOptions& options = {}) const;
  void cancel(const std::string& id, const CallOptions& options = {}) const;
  // Keeps `bytes` in the service's file store (Gemini: 48 hours; images API: as a batch's input).
  UploadedFile upload_file(ByteView bytes, const std::string& mime_type,
                           const std::string& display_name, const CallOptions& options = {}) const;
  // Writes a kept file's bytes into `path` as they arrive (a cut download is tried again).
  void download_file(const std::string& file, const std::filesystem::path& path,
                     const CallOptions& options = {}) const;
  // Hands each answer of a done batch to `each`, one at a time. Results kept as files are
  // downloaded into `scratch` on the way (removed after); inline results are read from the
  // batch itself.
  void results(const std::string& id, const std::filesystem::path& scratch, const AnswerSink& each,
               const CallOptions& options = {}, const UnreadableSink& unreadable = {}) const;
  // Each answer of a results file downloaded before (the service's own line format).
  void read_results_file(const std::filesystem::path& path, const AnswerSink& each,
                         const UnreadableSink& unreadable = {}) const;

  // The same calls without blocking: they run on the HTTP client's event thread (for a client
  // without one, on this thread before returning), and the future holds the value or the
  // failure.
  std::future<CreatedBatch> create_async(std::vector<BatchLine> lines, std::string name,
                                         CallOptions options = {}) const;
  std::future<BatchStatus> get_async(std::string id, CallOptions options = {}) const;
  std::future<BatchPage> list_async(std::string page_token = {}, CallOptions options = {}) const;
  std::future<void> cancel_async(std::string id, CallOptions options = {}) const;
  std::future<UploadedFile> upload_file_async(Bytes bytes, std::string mime_type,
                                              std::string display_name,
                                              CallOptions options = {}) const;
  std::future<void> download_file_async(const std::string& file, std::filesystem::path path,
                                        CallOptions options = {}) const;

 private:
  std::shared_ptr<const internal::BatchProtocol> protocol_;
  std::shared_ptr<HttpClient> http_;
  std::string base_url_;
  Headers::value_type auth_;
};

}  // namespace zantrel::host
