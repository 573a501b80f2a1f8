#include "zantrel/image/tavelin/internal/gemini_response.h"

#include "zantrel/host/codec/base64.h"

namespace zantrel::image::tavelin::internal {
namespace {

using host::internal::expect;
using host::internal::member;
using host::internal::nonempty_object;
using host::internal::nonempty_text;
using host::internal::od::array;
using host::internal::od::object;
using host::internal::od::value;

// "candidates" as an array; nothing when missing.
std::optional<array> candidates_of(object& root) {
  auto found = member(root, "candidates");
  if (!found) return std::nullopt;
  return expect(found->get_array(), "\"candidates\"");
}

// Decodes the texts and keeps the largest image (strictly larger wins, so the first of equal
// sizes stays). The longest text, in practice the image kept, goes last and into `body` itself
// when given: the others are read before the body is overwritten. Text that decodes to nothing
// is no image.
std::optional<host::Bytes> largest_of(const std::vector<std::string_view>& texts,
                                      host::Bytes* body) {
  if (texts.empty()) return std::nullopt;
  std::size_t longest = 0;
  for (std::size_t i = 1; i < texts.size(); ++i) {
    if (texts[i].size() > texts[longest].size()) longest = i;
  }
  std::vector<host::Bytes> decoded(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != longest) decoded[i] = host::base64_decode(texts[i]);
  }
  decoded[longest] = body ? host::base64_decode_in_place(*body, texts[longest])
                          : host::base64_decode(texts[longest]);
  std::optional<std::size_t> kept;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    if (!decoded[i].empty() && (!kept || decoded[i].size() > decoded[*kept].size())) kept = i;
  }
  if (!kept) return std::nullopt;
  return std::move(decoded[*kept]);
}

// A candidate's content parts; nothing when it has no content or no parts.
std::optional<array> parts_of(object& candidate) {
  auto content_value = member(candidate, "content");
  if (!content_value) return std::nullopt;
  object content = expect(content_value->get_object(), "\"content\"");
  auto parts_value = member(content, "parts");
  if (!parts_value) return std::nullopt;
  return expect(parts_value->get_array(), "\"parts\"");
}

// Hands each part of each candidate that has parts to `each`, in order; after a candidate's
// parts, stops once `enough()` holds.
template <class Each, class Enough>
void each_candidate_part(object root, Each each, Enough enough) {
  auto candidates = candidates_of(root);
  if (!candidates) return;
  for (auto element : *candidates) {
    object candidate = expect(expect(element, "a candidate").get_object(), "a candidate");
    auto parts = parts_of(candidate);
    if (!parts) continue;
    for (auto part_element : *parts) {
      object part = expect(expect(part_element, "a part").get_object(), "a part");
      each(part);
    }
    if (enough()) return;
  }
}

// A part's inline image ("inlineData", or "inline_data"), when it has a non-empty one.
std::optional<GeminiResponse::InlinePart> inline_part(object& part) {
  GeminiResponse::InlinePart found;
  if (auto flag = member(part, "thought"); flag && flag->get_bool().get(found.thought)) {
    found.thought = false;  // not a flag: read as no thought
  }
  std::optional<object> inline_data;
  if (auto camel = member(part, "inlineData"))
    inline_data = nonempty_object(*camel, "\"inlineData\"");
  if (!inline_data) {
    if (auto snake = member(part, "inline_data")) {
      inline_data = nonempty_object(*snake, "\"inline_data\"");
    }
  }
  if (!inline_data) return std::nullopt;
  if (auto mime = member(*inline_data, "mimeType")) {
    std::string_view text;
    if (!mime->get_string().get(text)) found.mime_type = text;
  }
  auto data_value = member(*inline_data, "data");
  if (!data_value) return std::nullopt;
  auto data = nonempty_text(*data_value, "\"data\"");
  if (!data) return std::nullopt;
  found.data = *data;
  return found;
}

// The text parts of a candidate that are not thoughts, one per line; nothing when there are none
// or the content is of another shape.
std::optional<std::string> text_of(object& candidate) {
  object content;
  array parts;
  auto content_value = member(candidate, "content");
  if (!content_value || content_value->get_object().get(content)) return std::nullopt;
  auto parts_value = member(content, "parts");
  if (!parts_value || parts_value->get_array().get(parts)) return std::nullopt;
  std::optional<std::string> text;
  for (auto element : parts) {
    object part;
    if (element.get_object().get(part)) continue;
    bool thought = false;
    if (auto flag = member(part, "thought"); flag && flag->get_bool().get(thought)) {
      thought = false;  // not a flag: read as no thought
    }
    if (thought) continue;
    if (auto piece = host::internal::optional_text(part, "text")) {
      text = text ? *text + "\n" + *piece : *piece;
    }
  }
  return text;
}

}  // namespace

GeminiResponse::GeminiResponse(const host::Bytes& body) : document_(body) {}

GeminiResponse::GeminiResponse(std::string_view event, std::size_t readable)
    : document_(event, readable) {}

std::pair<std::vector<std::string>, std::optional<std::string>> GeminiResponse::file_uris() {
  std::vector<std::string> links;
  object root = document_.root_object();
  if (auto candidates = candidates_of(root)) {
    for (auto element : *candidates) {
      object candidate = expect(expect(element, "a candidate").get_object(), "a candidate");
      auto content_value = member(candidate, "content");
      if (!content_value) continue;
      object content = expect(content_value->get_object(), "\"content\"");
      auto parts_value = member(content, "parts");
      if (!parts_value) continue;
      for (auto part_element : expect(parts_value->get_array(), "\"parts\"")) {
        object part = expect(expect(part_element, "a part").get_object(), "a part");
        auto file_data_value = member(part, "fileData");
        if (!file_data_value) continue;
        auto file_data = nonempty_object(*file_data_value, "\"fileData\"");
        if (!file_data) continue;
        auto uri_value = member(*file_data, "fileUri");
        if (!uri_value) continue;
        if (auto uri = nonempty_text(*uri_value, "\"fileUri\"")) links.emplace_back(*uri);
      }
    }
  }
  return {std::move(links), host::internal::optional_text(root, "responseId")};
}

GeminiResponse::InlineScan GeminiResponse::largest_inline_image(host::Bytes* body) {
  InlineScan scan;
  object root = document_.root_object();
  auto candidates = candidates_of(root);
  if (!candidates) return scan;
  for (auto element : *candidates) {
    object candidate = expect(expect(element, "a candidate").get_object(), "a candidate");
    // Every candidate scanned sets the reason first, so the last one scanned decides.
    scan.finish_reason.reset();
    if (auto reason = member(candidate, "finishReason")) {
      std::string_view text;
      if (!reason->get_string().get(text)) scan.finish_reason = std::string(text);
    }
    auto parts = parts_of(candidate);
    if (!parts) continue;
    std::vector<std::string_view> texts;
    for (auto part_element : *parts) {
      object part = expect(expect(part_element, "a part").get_object(), "a part");
      if (auto found = inline_part(part); found && !found->thought) texts.push_back(found->data);
    }
    if (auto image = largest_of(texts, body)) {
      scan.image = std::move(image);
      return scan;
    }
  }
  return scan;
}

std::vector<GeminiResponse::InlinePart> GeminiResponse::inline_parts() {
  std::vector<InlinePart> found;
  // The first candidate that holds an inline image gives them all.
  each_candidate_part(
      document_.root_object(),
      [&](object& part) {
        if (auto image = inline_part(part)) found.push_back(*image);
      },
      [&] { return !found.empty(); });
  return found;
}

std::vector<GeminiResponse::ModelPart> GeminiResponse::model_parts() {
  std::vector<ModelPart> found;
  // The first candidate with parts is the model's turn.
  each_candidate_part(
      document_.root_object(),
      [&](object& part) {
        ModelPart read;
        read.thought_signature = host::internal::optional_text(part, "thoughtSignature");
        if (auto image = inline_part(part)) {
          if (image->thought) return;
          read.image_data = image->data;
          read.mime_type = std::string(image->mime_type);
        } else {
          bool thought = false;
          if (auto flag = member(part, "thought");
              flag && !flag->get_bool().get(thought) && thought) {
            return;
          }
          read.text = host::internal::optional_text(part, "text");
          if (!read.text) return;  // neither text nor an image: nothing to send back
        }
        found.push_back(std::move(read));
      },
      [] { return true; });
  return found;
}

bool GeminiResponse::has_error() {
  auto& doc = document_.rewound();
  host::internal::od::json_type type{};
  if (doc.type().get(type) || type != host::internal::od::json_type::object) return false;
  object root = document_.root_object();
  auto error = member(root, "error");
  bool null = false;
  return error && !error->is_null().get(null) && !null;
}

GeminiResponse::ReportFacts GeminiResponse::report_facts() {
  ReportFacts facts;
  object root = document_.root_object();
  if (auto usage = member(root, "usageMetadata"))
    facts.usage = host::internal::decode_value(*usage);
  facts.model_version = host::internal::optional_text(root, "modelVersion");
  facts.response_id = host::internal::optional_text(root, "responseId");
  if (auto feedback = member(root, "promptFeedback")) {
    object feedback_object;
    if (!feedback->get_object().get(feedback_object)) {
      facts.block_reason = host::internal::optional_text(feedback_object, "blockReason");
    }
  }
  // Last: iterating into the candidates ends what can be read of the root.
  if (auto candidates = candidates_of(root)) {
    for (auto element : *candidates) {
      object candidate;
      if (!element.get_object().get(candidate)) {
        facts.finish_reason = host::internal::optional_text(candidate, "finishReason");
        facts.text = text_of(candidate);
      }
      break;
    }
  }
  return facts;
}

}  // namespace zantrel::image::tavelin::internal
