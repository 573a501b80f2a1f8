#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/internal/codec/json_document.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::image::corvane::internal {

// What the first item of a 200 body's "data" offers. Texts view into the body (or the parser's
// buffer) and live as long as the ImagesResponse.
struct FirstItem {
  enum class Kind {
    kNone,    // no usable item: no "data", an empty one, an item that is not an object, ...
    kBase64,  // "b64_json", to decode
    kLink,    // "url" (possibly empty)
  };
  Kind kind = Kind::kNone;
  std::string_view text;
};

// A 200 body of the images API, or the completed event of a streamed answer (its image in
// "b64_json" at the top, no "data"), read in place.
class ImagesResponse {
 public:
  // Throws JSONDecodeError when the body is not JSON. `body` must outlive this object.
  explicit ImagesResponse(const host::Bytes& body);
  // A completed event's data, with `readable` bytes that may be read from its start.
  ImagesResponse(std::string_view completed_event, std::size_t readable);

  // Throws ResponseShapeError for a "b64_json" or "url" that is not text, and KeyError for a
  // non-empty "data" object (it has no first element).
  FirstItem first_item();

  // The items after the first of a "data" list, as first_item reads them; an item that is no
  // object, or one without an image, is passed over.
  std::vector<FirstItem> later_items();

  // What the answer says it made: its "output_format", "size", "quality", "background",
  // "generation_id", "svg_usage", a completed event's "sequence_number", and the first item's
  // "revised_prompt". Members of another type stay empty; none is required.
  host::ImageAnswer answer();

  // "usage" as given, or null; only read when a report is asked for.
  nlohmann::ordered_json usage();

 private:
  host::internal::JsonDocument document_;
  bool event_ = false;
};

// The bytes of a "data:image/...;base64," link: the base64 text after the first comma,
// decoded. Nothing when the link has no comma. Throws Base64Error.
std::optional<host::Bytes> decode_data_link(std::string_view link);

}  // namespace zantrel::image::corvane::internal
