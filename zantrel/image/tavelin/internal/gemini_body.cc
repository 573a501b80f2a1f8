#include "zantrel/image/tavelin/internal/gemini_body.h"

#include <cstring>

#include "zantrel/host/image_mime.h"
#include "zantrel/host/internal/base64.h"
#include "zantrel/host/internal/json_text.h"

namespace zantrel::image::tavelin::internal {
namespace {

constexpr std::string_view kHead = R"({"contents":[{"role":"user","parts":[{"text":)";
constexpr std::string_view kPartHead = R"(},{"inlineData":{"mimeType":")";
constexpr std::string_view kPartData = R"(","data":")";
constexpr std::string_view kPartTail = R"("})";
constexpr std::string_view kConfig = R"(}]}],"generationConfig":{"responseModalities":["IMAGE"])";
constexpr std::string_view kImageConfig = R"(,"imageConfig":{)";
constexpr std::string_view kRatioKey = R"("aspectRatio":)";
constexpr std::string_view kSizeKey = R"("imageSize":)";
constexpr std::string_view kResponseFormat = R"(,"response_format":"url")";

bool present(const std::optional<std::string_view>& value) { return value && !value->empty(); }

char* put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

std::string_view gemini_mime_type(host::ByteView image) noexcept {
  return host::sniff_image_mime(image).value_or("image/jpeg");
}

host::Bytes write_gemini_body(std::string_view prompt, std::span<const host::Bytes> images,
                              std::optional<std::string_view> aspect_ratio,
                              std::optional<std::string_view> image_size,
                              bool response_format_member) {
  const bool has_ratio = present(aspect_ratio);
  const bool has_size = present(image_size);
  const bool has_image_config = has_ratio || has_size;

  // The closing braces of "generationConfig" and of the body.
  std::size_t total = kHead.size() + host::json_string_size(prompt) + kConfig.size() + 2;
  if (response_format_member) total += kResponseFormat.size();
  for (const host::Bytes& image : images) {
    total += kPartHead.size() + gemini_mime_type(image).size() + kPartData.size() +
             host::base64_encoded_size(image.size()) + kPartTail.size();
  }
  if (has_image_config) total += kImageConfig.size() + 1;  // its closing brace
  if (has_ratio) total += kRatioKey.size() + host::json_string_size(*aspect_ratio);
  if (has_ratio && has_size) total += 1;  // the comma between them
  if (has_size) total += kSizeKey.size() + host::json_string_size(*image_size);

  // One spare byte: the base64 codec writes a terminating NUL after its text.
  host::Bytes body(total + 1);
  char* out = reinterpret_cast<char*>(body.data());
  out = put(out, kHead);
  out = host::write_json_string(out, prompt);
  for (const host::Bytes& image : images) {
    out = put(out, kPartHead);
    out = put(out, gemini_mime_type(image));
    out = put(out, kPartData);
    out = host::base64_encode_into(image, out);
    out = put(out, kPartTail);
  }
  out = put(out, kConfig);
  if (has_image_config) {
    out = put(out, kImageConfig);
    if (has_ratio) {
      out = put(out, kRatioKey);
      out = host::write_json_string(out, *aspect_ratio);
    }
    if (has_ratio && has_size) *out++ = ',';
    if (has_size) {
      out = put(out, kSizeKey);
      out = host::write_json_string(out, *image_size);
    }
    *out++ = '}';
  }
  *out++ = '}';
  if (response_format_member) out = put(out, kResponseFormat);
  *out++ = '}';
  body.resize(total);
  return body;
}

}  // namespace zantrel::image::tavelin::internal
