#include "zantrel/host/internal/codec/json_document.h"

#include <cstring>

#include "zantrel/host/internal/codec/json_reading.h"

namespace zantrel::host::internal {
namespace {

void ensure(simdjson::error_code error) {
  if (error) {
    throw JSONDecodeError(std::string("body is not JSON: ") + simdjson::error_message(error));
  }
}

// Raw token of a string value without its quotes (and without trailing blanks).
std::string_view raw_string(od::value& value) {
  std::string_view token = value.raw_json_token();
  while (!token.empty() && token.back() != '"') token.remove_suffix(1);
  if (token.size() < 2) return {};
  return token.substr(1, token.size() - 2);
}

// Consumes a string value. On-Demand checks a document's grammar only where it is read: a
// value that is merely looked at and then skipped lets a malformed neighbour ("a": "x": "y")
// through, so every value is read here. Strings with escapes are unescaped (which checks the
// escapes); others, the large image texts among them, are taken raw, without a copy.
void check_string(od::value& value) {
  if (raw_string(value).find('\\') != std::string_view::npos) {
    std::string_view text;
    ensure(value.get_string().get(text));
  } else {
    od::raw_json_string raw;
    ensure(value.get_raw_json_string().get(raw));
  }
}

// Deeper bodies are refused before simdjson's own depth limit is reached, which its On-Demand
// front end does not report in every build.
constexpr int kMaxDepth = 256;

// Walks every value once so that a malformed body is refused before anything is read from it.
void check_value(od::value value, int depth) {
  if (depth > kMaxDepth) {
    throw JSONDecodeError("body is not JSON we accept: nesting deeper than " +
                          std::to_string(kMaxDepth));
  }
  od::json_type type{};
  ensure(value.type().get(type));
  switch (type) {
    case od::json_type::array: {
      od::array array;
      ensure(value.get_array().get(array));
      for (auto element : array) {
        od::value item;
        ensure(element.get(item));
        check_value(item, depth + 1);
      }
      break;
    }
    case od::json_type::object: {
      od::object object;
      ensure(value.get_object().get(object));
      for (auto entry : object) {
        od::field field;
        ensure(std::move(entry).get(field));  // NOLINT(performance-move-const-arg)
        std::string_view key;
        ensure(field.unescaped_key().get(key));
        check_value(field.value(), depth + 1);
      }
      break;
    }
    case od::json_type::number: {
      double number = 0;
      ensure(value.get_double().get(number));
      break;
    }
    case od::json_type::string:
      check_string(value);
      break;
    case od::json_type::boolean: {
      bool flag = false;
      ensure(value.get_bool().get(flag));
      break;
    }
    case od::json_type::null: {
      bool null = false;
      ensure(value.is_null().get(null));
      if (!null) ensure(simdjson::N_ATOM_ERROR);
      break;
    }
  }
}

void check_scalar_document(od::document& doc) {
  od::json_type type{};
  ensure(doc.type().get(type));
  switch (type) {
    case od::json_type::number: {
      double number = 0;
      ensure(doc.get_double().get(number));
      break;
    }
    case od::json_type::string: {
      std::string_view text;
      ensure(doc.get_string().get(text));
      break;
    }
    case od::json_type::boolean: {
      bool flag = false;
      ensure(doc.get_bool().get(flag));
      break;
    }
    case od::json_type::null: {
      bool null = false;
      ensure(doc.is_null().get(null));
      if (!null) ensure(simdjson::N_ATOM_ERROR);
      break;
    }
    default:
      ensure(simdjson::TAPE_ERROR);
  }
}

}  // namespace

JsonDocument::JsonDocument(const Bytes& body) { check(padded_view(body, storage_)); }

JsonDocument::JsonDocument(std::string_view text, std::size_t readable) {
  if (readable >= text.size() + simdjson::SIMDJSON_PADDING) {
    check(simdjson::padded_string_view(text.data(), text.size(), readable));
  } else {
    storage_ = simdjson::padded_string(text);
    check(storage_);
  }
}

void JsonDocument::check(simdjson::padded_string_view text) {
  ensure(parser_.iterate(text).get(doc_));
  bool scalar = false;
  ensure(doc_.is_scalar().get(scalar));
  if (scalar) {
    check_scalar_document(doc_);
    return;
  }
  od::value root;
  ensure(doc_.get_value().get(root));
  check_value(root, 1);
  // Anything after the root value is not JSON.
  const char* rest = nullptr;
  if (!doc_.current_location().get(rest)) ensure(simdjson::TRAILING_CONTENT);
}

od::document& JsonDocument::rewound() {
  doc_.rewind();
  return doc_;
}

od::object JsonDocument::root_object() {
  return expect(rewound().get_object(), "response body is not an object");
}

nlohmann::ordered_json decode_value(od::value& value) {
  std::string_view raw;
  if (auto error = simdjson::to_json_string(value).get(raw); error) {
    throw ResponseShapeError(std::string("reading a value: ") + simdjson::error_message(error));
  }
  return decode_json(raw);
}

std::optional<std::string> optional_text(od::object& object, std::string_view key) {
  auto found = member(object, key);
  std::string_view text;
  if (!found || found->get_string().get(text)) return std::nullopt;
  return std::string(text);
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the body, then the member named
std::string top_level_text(std::string_view body, std::string_view key) {
  try {
    JsonDocument document(body, body.size());
    od::object root = document.root_object();
    return optional_text(root, key).value_or("");
  } catch (const Error&) {
    return {};
  }
}

std::optional<od::value> member(od::object& object, std::string_view key) {
  od::value value;
  const auto error = object.find_field_unordered(key).get(value);
  if (error == simdjson::NO_SUCH_FIELD) return std::nullopt;
  if (error) {
    throw ResponseShapeError("reading \"" + std::string(key) +
                             "\": " + simdjson::error_message(error));
  }
  return value;
}

namespace {

// Accepts the empty scalars; throws for a non-empty scalar, which is never of a wanted type.
void require_empty_scalar(od::value& value, od::json_type type, std::string_view what) {
  bool empty = false;
  switch (type) {
    case od::json_type::null:
      empty = true;
      break;
    case od::json_type::boolean:
      empty = !expect(value.get_bool(), what);
      break;
    case od::json_type::number:
      empty = expect(value.get_double(), what) == 0.0;
      break;
    case od::json_type::string:
      empty = raw_string(value).empty();
      break;
    default:
      break;
  }
  if (!empty) throw ResponseShapeError(std::string(what) + " has an unexpected type");
}

template <class Container>
bool empty_container(od::value& value, std::string_view what) {
  Container container;
  if constexpr (std::is_same_v<Container, od::array>) {
    container = expect(value.get_array(), what);
  } else {
    container = expect(value.get_object(), what);
  }
  return expect(container.is_empty(), what);
}

}  // namespace

std::optional<od::object> nonempty_object(od::value& value, std::string_view what) {
  const od::json_type type = expect(value.type(), what);
  if (type == od::json_type::object) {
    od::object object = expect(value.get_object(), what);
    if (expect(object.is_empty(), what)) return std::nullopt;
    return object;
  }
  if (type == od::json_type::array) {
    if (empty_container<od::array>(value, what)) return std::nullopt;
    throw ResponseShapeError(std::string(what) + " is not an object");
  }
  require_empty_scalar(value, type, what);
  return std::nullopt;
}

std::optional<od::array> nonempty_array(od::value& value, std::string_view what) {
  const od::json_type type = expect(value.type(), what);
  if (type == od::json_type::array) {
    od::array array = expect(value.get_array(), what);
    if (expect(array.is_empty(), what)) return std::nullopt;
    return array;
  }
  if (type == od::json_type::object) {
    if (empty_container<od::object>(value, what)) return std::nullopt;
    throw ResponseShapeError(std::string(what) + " is not an array");
  }
  require_empty_scalar(value, type, what);
  return std::nullopt;
}

std::optional<std::string_view> nonempty_text(od::value& value, std::string_view what) {
  const od::json_type type = expect(value.type(), what);
  if (type == od::json_type::string) {
    std::string_view text = text_of(value, what);
    if (text.empty()) return std::nullopt;
    return text;
  }
  if (type == od::json_type::object) {
    if (empty_container<od::object>(value, what)) return std::nullopt;
  } else if (type == od::json_type::array) {
    if (empty_container<od::array>(value, what)) return std::nullopt;
  } else {
    require_empty_scalar(value, type, what);
    return std::nullopt;
  }
  throw ResponseShapeError(std::string(what) + " is not a string");
}

std::string_view text_of(od::value& value, std::string_view what) {
  if (expect(value.type(), what) != od::json_type::string) {
    throw ResponseShapeError(std::string(what) + " is not a string");
  }
  std::string_view raw = raw_string(value);
  if (raw.find('\\') == std::string_view::npos) return raw;
  return expect(value.get_string(), what);
}

}  // namespace zantrel::host::internal
