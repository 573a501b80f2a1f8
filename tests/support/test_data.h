#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"

namespace zantrel::test_support {

// Small images with real signatures.
host::Bytes png_bytes(std::string_view tail = "png-body");
host::Bytes jpeg_bytes(std::string_view tail = "jpeg-body");

std::string b64(std::string_view raw);

// Records with their varying members made comparable: "second" and "total_second" must be
// non-negative numbers and become 0; "traceback" must be a non-empty text and becomes "<tb>".
std::vector<nlohmann::ordered_json> normalised(std::vector<nlohmann::ordered_json> records);

}  // namespace zantrel::test_support
