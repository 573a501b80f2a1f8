#pragma once

// A service's batch and file protocol, written once as steps that run blocking or on the event
// engine alike (see ServiceBatches, which gives them their entries).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <simdjson.h>

#include <nlohmann/json_fwd.hpp>

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
  std::optional<simdjson::padded_string> inlined;
};

// Where a service keeps its batches and files, under its base address.
struct BatchPaths {
  std::string list;  // the first page of batches; list + page + token a later one
  std::string page;
  std::string batch;     // batch + id describes a batch
  std::string cancel;    // batch + id + cancel cancels it
  std::string download;  // download + file + download_end: a kept file's bytes
  std::string download_end;
};

// A results line read into its answer (views into the line, valid while it is handed on).
using ReadAnswer = BatchAnswer (*)(simdjson::ondemand::object& line);

// A service's batch and file protocol: its paths, limits and results lines as data, and the
// steps that differ by service. The steps shared by both are ServiceBatches' own.
class BatchProtocol {
 public:
  struct Shape {
    BatchPaths paths;
    std::size_t max_requests = 0;
    std::size_t max_bytes = 0;
    ReadAnswer read_line = nullptr;
  };
  explicit BatchProtocol(Shape shape) : shape_(std::move(shape)) {}
  virtual ~BatchProtocol() = default;

  const Shape& shape() const noexcept { return shape_; }

  // Every failure is thrown (ServiceRefused for an error answer) except create's, whose every
  // outcome is its CreatedBatch; a stop during create is kUnknown too, since the request may
  // have gone out.
  virtual Task<CreatedBatch> create(const std::vector<BatchLine>& lines, const std::string& name,
                                    const BatchCall& call) const = 0;
  virtual Task<UploadedFile> upload(ByteView bytes, const std::string& mime_type,
                                    const std::string& display_name,
                                    const BatchCall& call) const = 0;
  // What a page of the list names, what a batch's description (the 200 answer at its address)
  // says of it, and where a done batch's results are: each read from the answer's text, so that
  // a service may read a large description (inline results) without building it whole.
  virtual BatchPage page_of(std::string_view listed) const = 0;
  virtual BatchStatus status_of(std::string_view described, const std::string& id) const = 0;
  virtual BatchOutput output_of(std::string_view described, const std::string& id) const = 0;
  // Each answer of a batch's inline results (`described`: the batch's description).
  virtual void read_inlined(const simdjson::padded_string& described,
                            const AnswerSink& each) const = 0;

 private:
  Shape shape_;
};

}  // namespace zantrel::host::internal
