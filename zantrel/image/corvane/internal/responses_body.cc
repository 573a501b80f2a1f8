#include "zantrel/image/corvane/internal/responses_body.h"

#include <array>
#include <string>

#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/internal/codec/json_text.h"

namespace zantrel::image::corvane::internal {
namespace {

using json = nlohmann::ordered_json;

// The images endpoint's members the image_generation tool takes, under the same names.
constexpr std::array<const char*, 8> kToolMembers = {
    "size",       "quality",    "output_format",  "output_compression",
    "background", "moderation", "input_fidelity", "partial_images"};
// Members of the images endpoint that have no place in a Responses create.
constexpr std::array<const char*, 5> kLeftOut = {"model", "prompt", "n", "response_format",
                                                 "stream"};

bool among(std::string_view key, std::span<const char* const> names) {
  for (const char* name : names) {
    if (key == name) return true;
  }
  return false;
}

void append_json_string(std::string& text, std::string_view value) {
  const std::size_t at = text.size();
  text.resize(at + host::json_string_size(value));
  host::write_json_string(text.data() + at, value);
}

// `"data:<mime>;base64,<the bytes>"`: the text so far ends at the comma; the bytes go as their
// own segment.
void append_data_url(host::StreamedBody& body, std::string& text, host::ByteView image) {
  text += "\"data:";
  text += host::sniff_image_mime(image).value_or("image/png");
  text += ";base64,";
  body.segments.emplace_back(std::move(text));
  body.segments.emplace_back(host::Base64Of{image});
  text = "\"";
}

}  // namespace

host::StreamedBody responses_body(const json& payload, std::span<const host::ByteView> references,
                                  std::optional<host::ByteView> mask, const ResponseShape& shape) {
  host::StreamedBody body;
  body.segments.reserve(2 * references.size() + 3);
  std::string text = R"({"model":)";
  append_json_string(text, shape.model);
  text += R"(,"input":[{"role":"user","content":[{"type":"input_text","text":)";
  append_json_string(text, payload.value("prompt", ""));
  text += '}';
  for (const host::ByteView image : references) {
    text += R"(,{"type":"input_image","image_url":)";
    append_data_url(body, text, image);
    text += '}';
  }
  text += R"(]}],"tools":[{"type":"image_generation","model":)";
  append_json_string(text, payload.value("model", ""));
  text += R"(,"action":)";
  text += references.empty() && !shape.previous_response_id ? R"("generate")" : R"("edit")";
  for (const auto& [key, value] : payload.items()) {
    if (!among(key, kToolMembers)) continue;
    text += ',' + json(key).dump() + ':' + value.dump();
  }
  if (mask) {
    text += R"(,"input_image_mask":{"image_url":)";
    append_data_url(body, text, *mask);
    text += '}';
  }
  text += R"(}],"tool_choice":{"type":"image_generation"},"store":true)";
  if (shape.background) text += R"(,"background":true)";
  if (shape.previous_response_id) {
    text += R"(,"previous_response_id":)";
    append_json_string(text, *shape.previous_response_id);
  }
  for (const auto& [key, value] : payload.items()) {
    if (among(key, kToolMembers) || among(key, kLeftOut)) continue;
    text += ',' + json(key).dump() + ':' + value.dump();
  }
  text += '}';
  body.segments.emplace_back(std::move(text));
  return body;
}

std::optional<std::string> responses_refusal(const json& payload) {
  if (payload.contains("complexity")) {
    return "complexity is not a member of the image_generation tool: leave it out, or send the "
           "request to the images API";
  }
  return std::nullopt;
}

}  // namespace zantrel::image::corvane::internal
