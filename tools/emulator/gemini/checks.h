#pragma once

#include <string>

#include "tools/emulator/request_checks.h"

namespace zantrel::emulator {

// A generateContent body: its last turn a text part first, inline images with an image type and
// valid base64 or files with an image type and a link,
// "IMAGE" among the response modalities, a known aspect ratio and image size.
CheckedRequest check_gemini_request(const std::string& body);

}  // namespace zantrel::emulator
