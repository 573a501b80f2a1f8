#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"

// Helpers for reading response bodies with simdjson; not part of the public API.
namespace zantrel::host::internal {

// A view of `body` that simdjson can parse in place. When the buffer has no spare capacity for
// simdjson's padding, the body is copied once into `storage`.
simdjson::padded_string_view padded_view(const Bytes& body, simdjson::padded_string& storage);

// Decodes a (small) body into an ordered JSON value, member order kept. Nesting deeper than
// simdjson's limit counts as not JSON. Throws JSONDecodeError.
nlohmann::ordered_json decode_json(std::string_view body);

// What a non-200 body says: the decoded body when it is an object whose "error" (if any) is an
// object, and the text of "error"."message" (absent when missing). When the body can't be read
// so, `error_dict` is absent and `message` is "service status_code: " + status.
struct ErrorBody {
  std::optional<nlohmann::ordered_json> error_dict;
  std::optional<std::string> message;
};
ErrorBody read_error_body(std::string_view body, int status_code);

}  // namespace zantrel::host::internal
