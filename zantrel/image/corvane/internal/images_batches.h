#pragma once

#include <memory>

#include "zantrel/host/call/batch_protocol.h"

namespace zantrel::image::corvane::internal {

// The images API's batch engine: a JSONL file posted to /v1/files (purpose "batch"), a batch
// made of it at /v1/batches, polled at /v1/batches/{id}; its output and error files read from
// /v1/files/{id}/content.
std::shared_ptr<const host::internal::BatchProtocol> images_batches();

}  // namespace zantrel::image::corvane::internal
