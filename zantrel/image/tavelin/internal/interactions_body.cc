#include "zantrel/image/tavelin/internal/interactions_body.h"

#include <algorithm>
#include <cctype>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/internal/codec/json_text.h"

namespace zantrel::image::tavelin::internal {
namespace {

using json = nlohmann::ordered_json;

void append_json_string(std::string& text, std::string_view value) {
  const std::size_t at = text.size();
  text.resize(at + host::json_string_size(value));
  host::write_json_string(text.data() + at, value);
}

void append_member(std::string& text, std::string_view key, const json& value) {
  text += ',';
  text += json(key).dump();
  text += ':';
  text += value.dump();
}

const ImageLink* link_of(host::ByteView image, std::span<const ImageLink> links) {
  for (const ImageLink& link : links) {
    if (link.image.data() == image.data() && link.image.size() == image.size()) return &link;
  }
  return nullptr;
}

// generateContent's words are upper case with a prefix ("HARM_CATEGORY_HARASSMENT",
// "BLOCK_NONE"); the Interactions API takes them lower case without it.
std::string interactions_word(std::string_view word, std::string_view prefix) {
  if (word.starts_with(prefix)) word.remove_prefix(prefix.size());
  std::string lower(word);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

json response_format(const InteractionShape& shape, bool with_text) {
  json formats = json::array();
  if (with_text) formats.push_back({{"type", "text"}});
  json image = {{"type", "image"}};
  if (shape.aspect_ratio && !shape.aspect_ratio->empty())
    image["aspect_ratio"] = *shape.aspect_ratio;
  if (shape.image_size && !shape.image_size->empty()) image["image_size"] = *shape.image_size;
  formats.push_back(std::move(image));
  return formats;
}

void append_request_members(std::string& text, const GenerationRequest& more) {
  json config = json::object();
  if (more.seed) config["seed"] = *more.seed;
  if (more.thinking_level) config["thinking_level"] = *more.thinking_level;
  if (!config.empty()) append_member(text, "generation_config", config);
  if (!more.safety_settings.empty()) {
    json settings = json::array();
    for (const SafetySetting& setting : more.safety_settings) {
      settings.push_back({{"type", interactions_word(setting.category, "HARM_CATEGORY_")},
                          {"threshold", interactions_word(setting.threshold, "")}});
    }
    append_member(text, "safety_settings", settings);
  }
}

}  // namespace

host::StreamedBody interactions_body(std::string_view prompt, std::span<const host::Bytes> images,
                                     const InteractionShape& shape, const GenerationRequest* more,
                                     std::span<const ImageLink> links) {
  host::StreamedBody body;
  body.segments.reserve(2 * images.size() + 1);
  std::string text = R"({"model":)";
  append_json_string(text, shape.model);
  text += R"(,"input":[{"type":"text","text":)";
  append_json_string(text, prompt);
  text += '}';
  for (const host::Bytes& image : images) {
    text += R"(,{"type":"image","mime_type":)";
    const ImageLink* link = link_of(image, links);
    append_json_string(text, link != nullptr && !link->file.mime_type.empty()
                                 ? std::string_view(link->file.mime_type)
                                 : gemini_mime_type(image));
    if (link != nullptr) {
      text += R"(,"uri":)";
      append_json_string(text, link->file.uri);
      text += '}';
      continue;
    }
    text += R"(,"data":")";
    body.segments.emplace_back(std::move(text));
    body.segments.emplace_back(host::Base64Of{image});
    text = R"("})";
  }
  text += ']';
  append_member(text, "response_format",
                response_format(shape, more != nullptr && more->with_text));
  if (more != nullptr) append_request_members(text, *more);
  if (shape.previous_interaction_id) {
    append_member(text, "previous_interaction_id", *shape.previous_interaction_id);
  }
  if (shape.background) append_member(text, "background", true);
  if (more != nullptr && more->extra.is_object()) {
    for (const auto& [key, value] : more->extra.items()) append_member(text, key, value);
  }
  text += '}';
  body.segments.emplace_back(std::move(text));
  return body;
}

std::optional<std::string> interactions_refusal(const GenerationRequest& request) {
  if (request.temperature) {
    return "temperature is not a member of the Interactions API's generation_config: leave it "
           "out, or send the request by generateContent";
  }
  return std::nullopt;
}

}  // namespace zantrel::image::tavelin::internal
