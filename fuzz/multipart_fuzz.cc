// The edits form from any payload and reference bytes: one field per payload member in order,
// one part per reference in order, each part borrowing the reference's bytes, a file name and a
// content type that agree with the bytes' signature.
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/images/image_mime.h"
#include "zantrel/image/corvane/internal/edit_form.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using zantrel::image::corvane::ImageParts;
  if (size < 2) return 0;
  // Layout: [parts count][payload length][payload JSON][part bytes, split evenly].
  const std::size_t count = data[0] % 5;
  const std::size_t payload_length = std::min<std::size_t>(data[1], size - 2);
  const auto payload = nlohmann::ordered_json::parse(data + 2, data + 2 + payload_length, nullptr,
                                                     /*allow_exceptions=*/false);
  if (!payload.is_object()) return 0;
  const std::uint8_t* rest = data + 2 + payload_length;
  const std::size_t rest_size = size - 2 - payload_length;
  ImageParts parts;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t from = rest_size * i / count;
    const std::size_t to = rest_size * (i + 1) / count;
    parts.emplace_back(i % 2 == 0 ? "image" : "image[]",
                       zantrel::host::Bytes(rest + from, rest + to));
  }

  const auto form = zantrel::image::corvane::internal::build_edit_form(payload, parts);
  if (form.fields.size() != payload.size() || form.files.size() != parts.size()) __builtin_trap();
  std::size_t index = 0;
  for (const auto& member : payload.items()) {
    if (form.fields[index++].name != member.key()) __builtin_trap();
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const auto& file = form.files[i];
    if (file.name != parts[i].first || file.content.data() != parts[i].second.data() ||
        file.content.size() != parts[i].second.size()) {
      __builtin_trap();
    }
    const auto mime = zantrel::host::sniff_image_mime(parts[i].second);
    if (file.content_type != mime.value_or("application/octet-stream")) __builtin_trap();
    const std::string expected_name =
        "image-" + std::to_string(i + 1) + "." + std::string(zantrel::host::image_extension(mime));
    if (file.filename != expected_name) __builtin_trap();
  }
  return 0;
}
