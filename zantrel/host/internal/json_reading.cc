#include "zantrel/host/internal/json_reading.h"

#include "zantrel/host/errors.h"

namespace zantrel::host::internal {
namespace {

nlohmann::ordered_json convert(simdjson::dom::element element) {
  using simdjson::dom::element_type;
  switch (element.type()) {
    case element_type::ARRAY: {
      auto out = nlohmann::ordered_json::array();
      for (simdjson::dom::element item : element.get_array().value_unsafe()) {
        out.push_back(convert(item));
      }
      return out;
    }
    case element_type::OBJECT: {
      auto out = nlohmann::ordered_json::object();
      for (simdjson::dom::key_value_pair field : element.get_object().value_unsafe()) {
        // Later duplicates win, as with most JSON readers.
        out[std::string(field.key)] = convert(field.value);
      }
      return out;
    }
    case element_type::INT64:
      return element.get_int64().value_unsafe();
    case element_type::UINT64:
      return element.get_uint64().value_unsafe();
    case element_type::DOUBLE:
      return element.get_double().value_unsafe();
    case element_type::STRING:
      return std::string(element.get_string().value_unsafe());
    case element_type::BOOL:
      return element.get_bool().value_unsafe();
    case element_type::NULL_VALUE:
      return nullptr;
  }
  return nullptr;
}

}  // namespace

simdjson::padded_string_view padded_view(const Bytes& body, simdjson::padded_string& storage) {
  const char* data = reinterpret_cast<const char*>(body.data());
  if (body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING) {
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
