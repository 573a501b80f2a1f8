#include "zantrel/image/corvane/internal/images_response.h"

#include <utility>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::image::corvane::internal {
namespace {

using host::internal::expect;
using host::internal::member;
namespace od = host::internal::od;

// null, false and 0 count as no data; true or another number has no first element at all.
void check_empty_scalar(od::value& value, od::json_type type) {
  if (type == od::json_type::null) return;
  if (type == od::json_type::boolean && !expect(value.get_bool(), "\"data\"")) return;
  if (type == od::json_type::number && expect(value.get_double(), "\"data\"") == 0.0) return;
  throw host::ResponseShapeError("\"data\" has no first element");
}

FirstItem read_item(od::value& item) {
  if (expect(item.type(), "the first item") != od::json_type::object) return {};
  od::object object = expect(item.get_object(), "the first item");
  if (auto b64 = member(object, "b64_json")) {
    return {FirstItem::Kind::kBase64, host::internal::text_of(*b64, "\"b64_json\"")};
  }
  if (auto url = member(object, "url")) {
    const auto link = host::internal::nonempty_text(*url, "\"url\"");
    return {FirstItem::Kind::kLink, link.value_or(std::string_view())};
  }
  return {};
}

}  // namespace

ImagesResponse::ImagesResponse(const host::Bytes& body) : document_(body) {}

ImagesResponse::ImagesResponse(std::string_view completed_event, std::size_t readable)
    : document_(completed_event, readable), event_(true) {}

nlohmann::ordered_json ImagesResponse::usage() {
  host::internal::od::object root = document_.root_object();
  auto found = host::internal::member(root, "usage");
  return found ? host::internal::decode_value(*found) : nlohmann::ordered_json();
}

FirstItem ImagesResponse::first_item() {
  od::document& doc = document_.rewound();
  if (expect(doc.type(), "the body") != od::json_type::object) return {};
  if (event_) {
    od::value event = expect(doc.get_value(), "the event");
    return read_item(event);
  }
  od::object root = expect(doc.get_object(), "the body");
  auto data = member(root, "data");
  if (!data) return {};
  const od::json_type type = expect(data->type(), "\"data\"");
  if (type == od::json_type::array) {
    for (auto element : expect(data->get_array(), "\"data\"")) {
      od::value item = expect(element, "the first item");
      return read_item(item);
    }
    return {};
  }
  if (type == od::json_type::object) {
    od::object object = expect(data->get_object(), "\"data\"");
    if (expect(object.is_empty(), "\"data\"")) return {};
    throw host::KeyError("\"data\" is an object: it has no element 0");
  }
  // An empty text is no data; the first character of any other text is no object: no image.
  if (type == od::json_type::string) return {};
  check_empty_scalar(*data, type);
  return {};
}

std::vector<FirstItem> ImagesResponse::later_items() {
  std::vector<FirstItem> out;
  od::object root = document_.root_object();
  auto data = member(root, "data");
  if (!data || expect(data->type(), "\"data\"") != od::json_type::array) return out;
  bool first = true;
  for (auto element : expect(data->get_array(), "\"data\"")) {
    od::value item = expect(element, "an item");
    if (std::exchange(first, false)) continue;
    FirstItem read = read_item(item);
    if (read.kind != FirstItem::Kind::kNone) out.push_back(read);
  }
  return out;
}

host::ImageAnswer ImagesResponse::answer() {
  host::ImageAnswer out;
  od::object root = document_.root_object();
  out.output_format = host::internal::optional_text(root, "output_format");
  out.size = host::internal::optional_text(root, "size");
  out.quality = host::internal::optional_text(root, "quality");
  out.background = host::internal::optional_text(root, "background");
  out.generation_id = host::internal::optional_text(root, "generation_id");
  if (auto svg_usage = member(root, "svg_usage")) {
    out.svg_usage = host::internal::decode_value(*svg_usage);
  }
  if (event_) {
    out.revised_prompt = host::internal::optional_text(root, "revised_prompt");
    if (auto sequence = member(root, "sequence_number")) {
      std::int64_t number = 0;
      if (!sequence->get_int64().get(number)) out.sequence_number = number;
    }
    return out;
  }
  auto data = member(root, "data");
  if (data && expect(data->type(), "\"data\"") == od::json_type::array) {
    for (auto element : expect(data->get_array(), "\"data\"")) {
      od::value item = expect(element, "the first item");
      if (expect(item.type(), "the first item") == od::json_type::object) {
        od::object object = expect(item.get_object(), "the first item");
        out.revised_prompt = host::internal::optional_text(object, "revised_prompt");
      }
      break;
    }
  }
  return out;
}

std::optional<host::Bytes> decode_data_link(std::string_view link) {
  const auto comma = link.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return host::base64_decode(link.substr(comma + 1));
}

}  // namespace zantrel::image::corvane::internal
