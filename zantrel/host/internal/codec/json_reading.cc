#include "zantrel/host/internal/codec/json_reading.h"

#include <cstdint>
#include <cstring>

#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

nlohmann::ordered_json convert(simdjson::dom::element element) {
  simdjson::dom::array array;
  if (!element.get(array)) {
    auto out = nlohmann::ordered_json::array();
    for (simdjson::dom::element item : array) out.push_back(convert(item));
    return out;
  }
  simdjson::dom::object object;
  if (!element.get(object)) {
    auto out = nlohmann::ordered_json::object();
    // The first of duplicate members wins, as in the in-place readers that pick the result, so
    // that a logged body shows what the result was read from.
    for (simdjson::dom::key_value_pair field : object) {
      std::string key(field.key);
      if (!out.contains(key)) out[key] = convert(field.value);
    }
    return out;
  }
  std::int64_t integer = 0;
  if (!element.get(integer)) return integer;
  std::uint64_t unsigned_integer = 0;
  if (!element.get(unsigned_integer)) return unsigned_integer;
  double number = 0;
  if (!element.get(number)) return number;
  std::string_view text;
  if (!element.get(text)) return std::string(text);
  bool flag = false;
  if (!element.get(flag)) return flag;
  return nullptr;
}

}  // namespace

simdjson::padded_string_view padded_view(const Bytes& body, simdjson::padded_string& storage) {
  const char* data = reinterpret_cast<const char*>(body.data());
  if (body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING) {
    // The spare bytes must not continue the text: a body that ends inside a number ("[1") would
    // have the number read on through digits left behind there, past the buffer. They are
    // allocated storage beyond the vector's size, not part of its value, so clearing them
    // changes nothing a caller can see.
    auto* spare = const_cast<std::uint8_t*>(body.data()) + body.size();  // NOLINT
    std::memset(spare, 0, simdjson::SIMDJSON_PADDING);
    return simdjson::padded_string_view(data, body.size(), body.capacity());
  }
  storage = simdjson::padded_string(data, body.size());
  return storage;
}

nlohmann::ordered_json decode_json(std::string_view body) {
  simdjson::dom::parser parser;
  simdjson::padded_string padded(body);
  simdjson::dom::element root;
  if (auto error = parser.parse(padded).get(root); error) {
    throw JSONDecodeError(std::string("body is not JSON: ") + simdjson::error_message(error));
  }
  return convert(root);
}

ErrorBody read_error_body(std::string_view body, int status_code) {
  ErrorBody out;
  out.message = "service status_code: " + std::to_string(status_code);
  try {
    nlohmann::ordered_json decoded = decode_json(body);
    if (!decoded.is_object()) return out;
    const auto error = decoded.find("error");
    if (error != decoded.end() && !error->is_object()) return out;
    std::optional<std::string> message;
    if (error != decoded.end()) {
      const auto text = error->find("message");
      if (text != error->end() && !text->is_null()) {
        message = text->is_string() ? text->get<std::string>() : text->dump();
      }
    }
    out.message = std::move(message);
    out.error_dict = std::move(decoded);
  } catch (const JSONDecodeError&) {
    // Not JSON: the status text stands.
  }
  return out;
}

}  // namespace zantrel::host::internal
