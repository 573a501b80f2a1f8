#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/jobs/job.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::image::corvane::internal {

// What a Responses API response says: its id and state, the images of its image_generation
// calls in order, its text, and its usage.
struct ResponseAnswer {
  std::string id;
  host::JobStatus status;
  std::optional<std::string> incomplete_reason;  // "content_filter", "max_output_tokens"
  std::vector<host::Bytes> images;               // the first decoded in the body's own buffer
  std::optional<std::string> text;
  nlohmann::ordered_json usage;  // the calling model's tokens as given (not the image's), or null
  host::ImageAnswer answer;      // what the first image call says of its image
};

// Reads a 200 body; `body` gives its buffer to the first image. Throws JSONDecodeError,
// ResponseShapeError or Base64Error for a body that is no response.
ResponseAnswer read_response(host::Bytes& body);

// The state of a response's body (for the waiting), with its error's message.
host::JobStatus response_status(std::string_view body);

}  // namespace zantrel::image::corvane::internal
