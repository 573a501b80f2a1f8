#pragma once

#include <cstddef>
#include <memory>

#include "zantrel/host/call/batch_protocol.h"

namespace zantrel::image::tavelin::internal {

// Gemini's batch engine: POST /v1beta/models/{model}:batchGenerateContent with the requests
// inline while the batch stays under `inline_limit_bytes`, else a JSONL file uploaded through
// the Files API; polled at /v1beta/batches/{id}; results inline in the batch or in a file read
// from /download/v1beta/{file}:download?alt=media.
std::shared_ptr<const host::internal::BatchProtocol> gemini_batches(std::size_t inline_limit_bytes);

}  // namespace zantrel::image::tavelin::internal
