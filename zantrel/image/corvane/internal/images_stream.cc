#include "zantrel/image/corvane/internal/images_stream.h"

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/internal/codec/json_document.h"
#include "zantrel/host/internal/codec/json_reading.h"

namespace zantrel::image::corvane::internal {
namespace {

namespace od = host::internal::od;

bool ends_with_kind(std::string_view type, std::string_view kind) {
  return type == std::string("image_generation.") + std::string(kind) ||
         type == std::string("image_edit.") + std::string(kind);
}

}  // namespace

void ImagesStream::begin() {
  partials_seen_ = 0;
  completed_.clear();
  error_ = nullptr;
}

void ImagesStream::read(const host::internal::SseEvent& event,
                        host::internal::AnswerStream& stream) {
  if (event.data == "[DONE]") return;
  // The event's name says what it is; only an unnamed one is read to learn its type.
  std::string type(event.type);
  if (type == "message") {
    host::internal::JsonDocument document(event.data, event.readable);
    od::object root = document.root_object();
    bool null = false;
    if (auto error = host::internal::member(root, "error");
        error && !error->is_null().get(null) && !null) {
      error_ = host::internal::decode_json(event.data);
      return;
    }
    type = host::internal::optional_text(root, "type").value_or("");
  }
  if (type == "error") {
    error_ = host::internal::decode_json(event.data);
  } else if (ends_with_kind(type, "partial_image")) {
    partial(event.data, event.readable, stream);
  } else if (ends_with_kind(type, "completed")) {
    completed_.push_back(stream.keep(event));
  }
}

void ImagesStream::partial(std::string_view data, std::size_t readable,
                           host::internal::AnswerStream& stream) {
  host::internal::JsonDocument document(data, readable);
  od::object root = document.root_object();
  auto b64 = host::internal::member(root, "b64_json");
  if (!b64) return;
  const host::Bytes image = host::base64_decode(host::internal::text_of(*b64, "\"b64_json\""));
  if (image.empty()) return;
  ++partials_seen_;
  host::Preview preview;
  preview.kind = host::Preview::Kind::kPartial;
  preview.index = partials_seen_;
  root = document.root_object();
  if (auto index = host::internal::member(root, "partial_image_index")) {
    std::int64_t given = 0;
    if (!index->get_int64().get(given) && given >= 0 && given < 1000) {
      preview.index = static_cast<int>(given) + 1;
    }
  }
  preview.of = partials_asked_;
  preview.mime_type = std::string(host::sniff_image_mime(image).value_or(""));
  preview.bytes = image;
  stream.preview(preview);
}

}  // namespace zantrel::image::corvane::internal
