#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/result/errors.h"

// Reading a response body in place with simdjson's On-Demand parser; not part of the public API.
namespace zantrel::host::internal {

namespace od = simdjson::ondemand;

// A response body checked to be one well-formed JSON value, readable any number of times.
// Large strings (base64 images) are not copied: they are read as views into the body.
class JsonDocument {
 public:
  // Throws JSONDecodeError when the body is not JSON. `body` must outlive the document.
  explicit JsonDocument(const Bytes& body);
  // A text with `readable` bytes from its start on that may be read (a stream event's data,
  // with its room behind it); it must not end inside a number that its next byte continues.
  JsonDocument(std::string_view text, std::size_t readable);
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  // The document, rewound to its start.
  od::document& rewound();
  // The root as an object; ResponseShapeError when it is something else.
  od::object root_object();

 private:
  void check(simdjson::padded_string_view text);

  simdjson::padded_string storage_;
  od::parser parser_;
  od::document doc_;
};

// Unwraps a simdjson result; a failure means the body has an unexpected shape.
template <class T>
T expect(simdjson::simdjson_result<T> result, std::string_view what) {
  T value;
  if (auto error = std::move(result).get(value); error) {
    throw ResponseShapeError(std::string(what) + ": " + simdjson::error_message(error));
  }
  return value;
}

// The member `key` of `object`, or nothing when it is missing.
std::optional<od::value> member(od::object& object, std::string_view key);

// Readers that apply the emptiness rule (null, false, 0, "", [] and {} are empty): nothing for
// an empty value, the value for a non-empty one of the wanted type, ResponseShapeError for a
// non-empty one of another type.
std::optional<od::object> nonempty_object(od::value& value, std::string_view what);
std::optional<od::array> nonempty_array(od::value& value, std::string_view what);
std::optional<std::string_view> nonempty_text(od::value& value, std::string_view what);

// A (small) value decoded into an ordered JSON value, member order kept.
nlohmann::ordered_json decode_value(od::value& value);

// The text of a string value, or nothing when it is missing or not a string.
std::optional<std::string> optional_text(od::object& object, std::string_view key);

// The text of the top-level member `key` of `body`; empty when it is missing or not text, or
// when the body is no JSON object.
std::string top_level_text(std::string_view body, std::string_view key);

// The text of a string value, as a view into the body when it holds no escapes (else into the
// parser's buffer). ResponseShapeError when the value is not a string.
std::string_view text_of(od::value& value, std::string_view what);

}  // namespace zantrel::host::internal
