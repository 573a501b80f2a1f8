#include "zantrel/image/tavelin/internal/gemini_body.h"

#include <cstring>
#include <utility>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/internal/codec/json_text.h"

namespace zantrel::image::tavelin::internal {
namespace {

constexpr std::string_view kContents = R"({"contents":[)";
constexpr std::string_view kUserTurn = R"({"role":"user","parts":[{"text":)";
constexpr std::string_view kPartHead = R"(},{"inlineData":{"mimeType":")";
constexpr std::string_view kPartData = R"(","data":")";
constexpr std::string_view kPartTail = R"("})";
constexpr std::string_view kConfig = R"(}]}],"generationConfig":{"responseModalities":)";
constexpr std::string_view kImageOnly = R"(["IMAGE"])";
constexpr std::string_view kTextAndImage = R"(["TEXT","IMAGE"])";
constexpr std::string_view kImageConfig = R"(,"imageConfig":{)";
constexpr std::string_view kRatioKey = R"("aspectRatio":)";
constexpr std::string_view kSizeKey = R"("imageSize":)";
constexpr std::string_view kResponseFormat = R"(,"response_format":"url")";

bool present(const std::optional<std::string_view>& value) { return value && !value->empty(); }

// `,"key":value` for a small member.
void append_member(std::string& text, std::string_view key, const nlohmann::ordered_json& value) {
  text += ',';
  text += nlohmann::ordered_json(key).dump();
  text += ':';
  text += value.dump();
}

void append_generation_members(std::string& text, const GenerationRequest& more) {
  if (more.seed) append_member(text, "seed", *more.seed);
  if (more.temperature) append_member(text, "temperature", *more.temperature);
  if (more.thinking_level) {
    append_member(text, "thinkingConfig", {{"thinkingLevel", *more.thinking_level}});
  }
}

void append_top_members(std::string& text, const GenerationRequest& more) {
  if (!more.safety_settings.empty()) {
    nlohmann::ordered_json settings = nlohmann::ordered_json::array();
    for (const SafetySetting& setting : more.safety_settings) {
      settings.push_back({{"category", setting.category}, {"threshold", setting.threshold}});
    }
    append_member(text, "safetySettings", settings);
  }
  if (more.extra.is_object()) {
    for (const auto& [key, value] : more.extra.items()) append_member(text, key, value);
  }
}

void append_json_string(std::string& text, std::string_view value) {
  const std::size_t at = text.size();
  text.resize(at + host::json_string_size(value));
  host::write_json_string(text.data() + at, value);
}

const ImageLink* link_of(host::ByteView image, std::span<const ImageLink> links) {
  for (const ImageLink& link : links) {
    if (link.image.data() == image.data() && link.image.size() == image.size()) return &link;
  }
  return nullptr;
}

// `"fileData":{...}` naming an image's copy in the service's store.
void append_file_data(std::string& text, const ImageLink& link, std::string_view mime_type) {
  text += R"("fileData":{"mimeType":)";
  append_json_string(text, link.file.mime_type.empty() ? mime_type : link.file.mime_type);
  text += R"(,"fileUri":)";
  append_json_string(text, link.file.uri);
  text += '}';
}

// The turns of `history`, each followed by a comma, into `body` (`text` goes on growing).
void append_history(host::StreamedBody& body, std::string& text,
                    std::span<const host::ConversationTurn> history,
                    std::span<const ImageLink> links) {
  const auto append_string = [&text](std::string_view value) { append_json_string(text, value); };
  for (const host::ConversationTurn& turn : history) {
    text += R"({"role":)";
    append_string(turn.role);
    text += R"(,"parts":[)";
    bool first = true;
    for (const host::ConversationPart& part : turn.parts) {
      if (!std::exchange(first, false)) text += ',';
      text += '{';
      const std::string_view mime = !part.image              ? ""
                                    : part.mime_type.empty() ? gemini_mime_type(*part.image)
                                                             : part.mime_type;
      // Model images go back as they were answered; a user's may be named by its file.
      const ImageLink* link =
          part.image && turn.role == "user" ? link_of(*part.image, links) : nullptr;
      if (link != nullptr) {
        append_file_data(text, *link, mime);
      } else if (part.image) {
        text += R"("inlineData":{"mimeType":)";
        append_string(mime);
        text += R"(,"data":")";
        body.segments.emplace_back(std::move(text));
        body.segments.emplace_back(host::Base64Of{*part.image});
        text = R"("})";
      } else {
        text += R"("text":)";
        append_string(part.text.value_or(""));
      }
      if (part.thought_signature) {
        text += R"(,"thoughtSignature":)";
        append_string(*part.thought_signature);
      }
      text += '}';
    }
    text += "]},";
  }
}

}  // namespace

std::string_view gemini_mime_type(host::ByteView image) noexcept {
  return host::sniff_image_mime(image).value_or("image/jpeg");
}

host::StreamedBody gemini_body(std::string_view prompt, std::span<const host::Bytes> images,
                               std::optional<std::string_view> aspect_ratio,
                               std::optional<std::string_view> image_size,
                               bool response_format_member, const GenerationRequest* more,
                               std::span<const host::ConversationTurn> history,
                               std::span<const ImageLink> links) {
  host::StreamedBody body;
  body.segments.reserve(2 * images.size() + 1);
  std::string text(kContents);
  append_history(body, text, history, links);
  text += kUserTurn;
  text.reserve(text.size() + prompt.size() + 64);
  append_json_string(text, prompt);
  for (const host::Bytes& image : images) {
    if (const ImageLink* link = link_of(image, links)) {
      // Left open like an inline part: what follows closes it.
      text += "},{";
      append_file_data(text, *link, gemini_mime_type(image));
      continue;
    }
    text += kPartHead;
    text += gemini_mime_type(image);
    text += kPartData;
    body.segments.emplace_back(std::move(text));
    body.segments.emplace_back(host::Base64Of{image});
    text = kPartTail;
  }
  text += kConfig;
  text += more != nullptr && more->with_text ? kTextAndImage : kImageOnly;
  const bool has_ratio = present(aspect_ratio);
  const bool has_size = present(image_size);
  if (has_ratio || has_size) {
    text += kImageConfig;
    if (has_ratio) {
      text += kRatioKey;
      append_json_string(text, *aspect_ratio);
    }
    if (has_ratio && has_size) text += ',';
    if (has_size) {
      text += kSizeKey;
      append_json_string(text, *image_size);
    }
    text += '}';
  }
  if (more != nullptr) append_generation_members(text, *more);
  text += '}';
  if (response_format_member) text += kResponseFormat;
  if (more != nullptr) append_top_members(text, *more);
  text += '}';
  body.segments.emplace_back(std::move(text));
  return body;
}

host::Bytes write_gemini_body(std::string_view prompt, std::span<const host::Bytes> images,
                              std::optional<std::string_view> aspect_ratio,
                              std::optional<std::string_view> image_size,
                              bool response_format_member) {
  return host::flatten(
      gemini_body(prompt, images, aspect_ratio, image_size, response_format_member));
}

}  // namespace zantrel::image::tavelin::internal
