#include "zantrel/host/images/image_metadata.h"

#include <array>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zantrel/host/codec/markup_text.h"
#include "zantrel/host/images/image_header.h"

namespace zantrel::host {
namespace {

constexpr std::size_t kPngSignature = 8;
constexpr std::size_t kPngIhdrEnd = kPngSignature + 8 + 13 + 4;  // length, type, data, CRC
constexpr std::size_t kJpegSegmentMax = 65533;                   // data bytes of one segment
constexpr std::uint8_t kVp8xXmp = 0x04;
constexpr std::uint8_t kVp8xAlpha = 0x10;
constexpr std::string_view kJsonOpen = "<zantrel:json>";
constexpr std::string_view kJsonClose = "</zantrel:json>";

bool starts_with(ByteView bytes, std::size_t at, std::string_view text) {
  return bytes.size() >= at + text.size() &&
         std::equal(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

std::uint32_t big_endian(ByteView bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 |
         static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

std::uint32_t little_endian(ByteView bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void put_big_endian(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the value, then how many bytes of it
void put_little_endian(Bytes& out, std::uint32_t value, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void put_text(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

// PNG's CRC-32 (ISO 3309), over a chunk's type and data.
std::uint32_t crc32(ByteView bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// An uncompressed iTXt chunk: keyword, no language, the UTF-8 text.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the keyword, then its text
void put_itxt(Bytes& out, std::string_view keyword, std::string_view text) {
  Bytes body;
  put_text(body, "iTXt");
  put_text(body, keyword);
  body.insert(body.end(), {0, 0, 0, 0, 0});  // end of keyword, not compressed, method, no tags
  put_text(body, text);
  put_big_endian(out, static_cast<std::uint32_t>(body.size() - 4));
  out.insert(out.end(), body.begin(), body.end());
  put_big_endian(out, crc32(body));
}

std::string xmp_packet(const ImageMetadata& metadata) {
  return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
         "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
         "rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
         "xmlns:zantrel=\"urn:zantrel:metadata:1\"><dc:description><rdf:Alt><rdf:li "
         "xml:lang=\"x-default\">" +
         host::markup_escaped(metadata.parameters) + "</rdf:li></rdf:Alt></dc:description>" +
         std::string(kJsonOpen) + host::markup_escaped(metadata.json) + std::string(kJsonClose) +
         "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"r\"?>";
}

std::optional<MetadataPieces> png_pieces(ByteView image, const ImageMetadata& metadata) {
  // Ours go right after a well-formed IHDR, where a reader walking the chunks meets them.
  if (image.size() < kPngIhdrEnd || !starts_with(image, 12, "IHDR") ||
      big_endian(image, kPngSignature) != 13) {
    return std::nullopt;
  }
  MetadataPieces pieces;
  pieces.head.assign(image.begin(), image.begin() + kPngIhdrEnd);
  put_itxt(pieces.head, "parameters", metadata.parameters);
  put_itxt(pieces.head, "zantrel", metadata.json);
  pieces.resume_at = kPngIhdrEnd;
  return pieces;
}

std::optional<MetadataPieces> jpeg_pieces(const ImageMetadata& metadata) {
  MetadataPieces pieces;
  pieces.head = {0xFF, 0xD8};
  const std::string_view text = metadata.json;
  std::size_t at = 0;
  do {
    const std::string_view part = text.substr(at, kJpegSegmentMax);
    pieces.head.insert(pieces.head.end(), {0xFF, 0xFE});
    pieces.head.push_back(static_cast<std::uint8_t>((part.size() + 2) >> 8));
    pieces.head.push_back(static_cast<std::uint8_t>(part.size() + 2));
    put_text(pieces.head, part);
    at += kJpegSegmentMax;
  } while (at < text.size());
  pieces.resume_at = 2;
  return pieces;
}

std::optional<MetadataPieces> webp_pieces(ByteView image, const ImageMetadata& metadata) {
  if (image.size() < 30) return std::nullopt;
  const auto size = read_image_dimensions(image);
  if (!size || size->width <= 0 || size->height <= 0) return std::nullopt;
  MetadataPieces pieces;
  const std::string packet = xmp_packet(metadata);
  put_text(pieces.tail, "XMP ");
  put_little_endian(pieces.tail, static_cast<std::uint32_t>(packet.size()));
  put_text(pieces.tail, packet);
  if (packet.size() % 2 != 0) pieces.tail.push_back(0);  // chunks are padded to an even size

  Bytes vp8x;
  if (starts_with(image, 12, "VP8X")) {
    vp8x.assign(image.begin() + 12, image.begin() + 30);
    vp8x[8] |= kVp8xXmp;
    pieces.resume_at = 30;
  } else {
    put_text(vp8x, "VP8X");
    put_little_endian(vp8x, 10);
    // A lossless image says in its header whether it uses alpha.
    const bool alpha = starts_with(image, 12, "VP8L") && image.size() >= 25 &&
                       ((little_endian(image, 21) >> 28) & 1) != 0;
    vp8x.push_back(static_cast<std::uint8_t>(kVp8xXmp | (alpha ? kVp8xAlpha : 0)));
    vp8x.insert(vp8x.end(), {0, 0, 0});
    put_little_endian(vp8x, static_cast<std::uint32_t>(size->width - 1), 3);
    put_little_endian(vp8x, static_cast<std::uint32_t>(size->height - 1), 3);
    pieces.resume_at = 12;
  }
  const std::size_t total =
      12 + vp8x.size() + (image.size() - pieces.resume_at) + pieces.tail.size();
  put_text(pieces.head, "RIFF");
  put_little_endian(pieces.head, static_cast<std::uint32_t>(total - 8));
  put_text(pieces.head, "WEBP");
  pieces.head.insert(pieces.head.end(), vp8x.begin(), vp8x.end());
  return pieces;
}

// The "parameters" member of a JSON text, else "".
std::string parameters_of(std::string_view json) {
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  if (!parsed.is_object()) return "";
  const auto found = parsed.find("parameters");
  return found != parsed.end() && found->is_string() ? found->get<std::string>() : "";
}

std::optional<ImageMetadata> read_png(ByteView image) {
  ImageMetadata metadata;
  bool found = false;
  for (std::size_t at = kPngSignature; at + 12 <= image.size();) {
    const std::uint32_t length = big_endian(image, at);
    if (length > image.size() - at - 12) break;
    const std::string_view type(reinterpret_cast<const char*>(image.data() + at + 4), 4);
    if (type == "IEND") break;
    if (type == "iTXt") {
      const std::string_view data(reinterpret_cast<const char*>(image.data() + at + 8), length);
      const auto keyword_end = data.find('\0');
      // keyword \0 flag method language \0 translated \0 text; only uncompressed text is ours
      if (keyword_end != std::string_view::npos && keyword_end + 3 <= data.size() &&
          data[keyword_end + 1] == '\0') {
        const auto language_end = data.find('\0', keyword_end + 3);
        const auto translated_end = language_end == std::string_view::npos
                                        ? language_end
                                        : data.find('\0', language_end + 1);
        if (translated_end != std::string_view::npos) {
          const std::string_view keyword = data.substr(0, keyword_end);
          const std::string text(data.substr(translated_end + 1));
          if (keyword == "parameters") metadata.parameters = text, found = true;
          if (keyword == "zantrel") metadata.json = text, found = true;
        }
      }
    }
    at += 12 + length;
  }
  if (!found) return std::nullopt;
  return metadata;
}

std::optional<ImageMetadata> read_jpeg(ByteView image) {
  std::string json;
  for (std::size_t at = 2; at + 4 <= image.size() && image[at] == 0xFF;) {
    const std::uint8_t marker = image[at + 1];
    if (marker == 0xDA || marker == 0xD9) break;  // the scan, or the end
    const std::size_t length = static_cast<std::size_t>(image[at + 2]) << 8 | image[at + 3];
    if (length < 2 || at + 2 + length > image.size()) break;
    if (marker == 0xFE) {
      json.append(reinterpret_cast<const char*>(image.data() + at + 4), length - 2);
    }
    at += 2 + length;
  }
  if (json.empty()) return std::nullopt;
  return ImageMetadata{parameters_of(json), json};
}

std::optional<ImageMetadata> read_webp(ByteView image) {
  std::optional<ImageMetadata> found;
  for (std::size_t at = 12; at + 8 <= image.size();) {
    const std::uint32_t length = little_endian(image, at + 4);
    if (length > image.size() - at - 8) break;
    if (starts_with(image, at, "XMP ")) {
      const std::string_view packet(reinterpret_cast<const char*>(image.data() + at + 8), length);
      const auto open = packet.find(kJsonOpen);
      const auto close = packet.find(kJsonClose);
      if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
        const std::string json = host::markup_unescaped(
            packet.substr(open + kJsonOpen.size(), close - open - kJsonOpen.size()));
        found = ImageMetadata{parameters_of(json), json};
      }
    }
    at += 8 + length + (length % 2);
  }
  return found;
}

}  // namespace

std::optional<MetadataPieces> metadata_pieces(ByteView image, const ImageMetadata& metadata) {
  if (starts_with(image, 0, "\x89PNG\r\n\x1a\n")) return png_pieces(image, metadata);
  if (image.size() >= 3 && image[0] == 0xFF && image[1] == 0xD8 && image[2] == 0xFF) {
    return jpeg_pieces(metadata);
  }
  if (starts_with(image, 0, "RIFF") && starts_with(image, 8, "WEBP")) {
    return webp_pieces(image, metadata);
  }
  return std::nullopt;
}

Bytes with_metadata(ByteView image, const ImageMetadata& metadata) {
  const auto pieces = metadata_pieces(image, metadata);
  if (!pieces) return Bytes(image.begin(), image.end());
  Bytes out;
  out.reserve(pieces->head.size() + image.size() - pieces->resume_at + pieces->tail.size());
  out.insert(out.end(), pieces->head.begin(), pieces->head.end());
  out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(pieces->resume_at),
             image.end());
  out.insert(out.end(), pieces->tail.begin(), pieces->tail.end());
  return out;
}

std::optional<ImageMetadata> read_metadata(ByteView image) {
  if (starts_with(image, 0, "\x89PNG\r\n\x1a\n")) return read_png(image);
  if (image.size() >= 3 && image[0] == 0xFF && image[1] == 0xD8) return read_jpeg(image);
  if (starts_with(image, 0, "RIFF") && starts_with(image, 8, "WEBP")) return read_webp(image);
  return std::nullopt;
}

}  // namespace zantrel::host
