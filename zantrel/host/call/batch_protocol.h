#pragma once

// A service's batch and file protocol, written once as steps that run blocking or on the event
// engine alike (see ServiceBatches, which gives them their entries).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/batches/batch_types.h"
#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/conversation.h"

namespace zantrel::host::internal {

// One batch or file call's reach: its exchange, the service's base address and key header, and
// each request's time-out.
struct BatchCall {
  const Exchange& exchange;
  std::string base_url;
  Headers::value_type auth;
  Timeout timeout;
};

using AnswerSink = std::function<void(const BatchAnswer&)>;
// A results line that could not be read: its number in the file and why.
using UnreadableSink = std::function<void(int line, const std::string& why)>;

// Where a done batch's results are: files to download, or the batch's own description holding
// them inline.
struct BatchOutput {
  std::vector<std::string> files;
  std::optional<std::string> inlined;
};

class BatchProtocol {
 public:
  virtual ~BatchProtocol() = default;

  // The service's limits of one batch.
  virtual std::size_t max_requests() const = 0;
  virtual std::size_t max_bytes() const = 0;

  // Every failure is thrown (ServiceRefused for an error answer) except create's, whose every
  // outcome is its CreatedBatch; a stop during create is kUnknown too, since the request may
  // have gone out.
  virtual Task<CreatedBatch> create(const std::vector<BatchLine>& lines, const std::string& name,
                                    const BatchCall& call) const = 0;
  virtual Task<BatchStatus> get(const std::string& id, const BatchCall& call) const = 0;
  virtual Task<BatchPage> list(const std::string& page_token, const BatchCall& call) const = 0;
  virtual Task<bool> cancel(const std::string& id, const BatchCall& call) const = 0;
  virtual Task<UploadedFile> upload(ByteView bytes, const std::string& mime_type,
                                    const std::string& display_name,
                                    const BatchCall& call) const = 0;
  virtual Task<BatchOutput> output(const std::string& id, const BatchCall& call) const = 0;
  // The address a kept file's bytes are read from.
  virtual std::string download_url(const std::string& base_url, const std::string& file) const = 0;
  // Each line of a downloaded results file, or of a batch's inline results.
  virtual void read_results_file(const std::filesystem::path& path, const AnswerSink& each,
                                 const UnreadableSink& unreadable) const = 0;
  virtual void read_inlined(std::string_view described, const AnswerSink& each) const = 0;
};

}  // namespace zantrel::host::internal
