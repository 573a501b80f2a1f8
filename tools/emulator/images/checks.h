#pragma once

#include <httplib.h>

#include <string>

#include "tools/emulator/request_checks.h"

namespace zantrel::emulator {

// A generations body: JSON with "model", "prompt", n from 1 to 10, a size "WxH" on the 16-pixel
// grid (or "" or "auto"), a known quality, response format, output format, compression,
// background, moderation and input fidelity.
CheckedRequest check_generations_request(const std::string& body);

// An edits form (or the same edit as JSON: "images" as data URLs or file ids, "mask"): the same
// fields as text parts, and at least one "image" file part with a file
// name, an image content type and image bytes; at most one "mask" file part, a PNG.
CheckedRequest check_edits_request(const httplib::Request& req);

}  // namespace zantrel::emulator
