#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// What an image says of how it was made, carried inside the file: `parameters`, a text a person
// reads (the prompt, then "model: ..., service: ..." lines), and `json`, the same facts as one
// JSON object.
struct ImageMetadata {
  std::string parameters;
  std::string json;
};

// An image with metadata, as pieces written one after another: `head`, then the image's own
// bytes from `resume_at` on, then `tail`. Nothing is decoded or re-encoded: the pixels' bytes are
// the service's, untouched.
//   PNG   iTXt chunks "parameters" (the text) and "zantrel" (the JSON) right after IHDR
//   JPEG  a COM segment with the JSON right after SOI (several, when it is longer than one holds)
//   WebP  an "XMP " chunk at the end, with the VP8X header that announces it (made from the
//         image's size when the file has none)
struct MetadataPieces {
  Bytes head;
  std::size_t resume_at = 0;
  Bytes tail;
};

// Nothing for bytes that are none of those three (or are cut short).
std::optional<MetadataPieces> metadata_pieces(ByteView image, const ImageMetadata& metadata);

// The image with `metadata` in it, whole (the pieces joined); the image unchanged when it is of
// another type.
Bytes with_metadata(ByteView image, const ImageMetadata& metadata);

// The metadata an image carries as with_metadata writes it; nothing when it has none. For JPEG
// and WebP, `parameters` is read from the JSON's "parameters" member.
std::optional<ImageMetadata> read_metadata(ByteView image);

}  // namespace zantrel::host
