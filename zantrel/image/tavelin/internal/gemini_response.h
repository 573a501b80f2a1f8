#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/internal/codec/json_document.h"

namespace zantrel::image::tavelin::internal {

// A 200 body of generateContent, read in place.
class GeminiResponse {
 public:
  // Throws JSONDecodeError when the body is not JSON. `body` must outlive this object.
  explicit GeminiResponse(const host::Bytes& body);
  // One event of a streamed answer (a whole GenerateContentResponse), with `readable` bytes
  // that may be read from its start.
  GeminiResponse(std::string_view event, std::size_t readable);

  // Every non-empty candidates[].content.parts[].fileData.fileUri in document order, and the
  // "responseId" (absent when missing or not text).
  std::pair<std::vector<std::string>, std::optional<std::string>> file_uris();

  struct InlineScan {
    // The largest decoded inline image of the first candidate that has one.
    std::optional<host::Bytes> image;
    // "finishReason" of the last candidate scanned (absent when missing or not text).
    std::optional<std::string> finish_reason;
  };
  // Decodes every usable inline image of the first candidate that has one and keeps the
  // largest (the first of equal sizes). Thought images (interim pictures of the model's
  // thinking, "thought": true) are passed over: they are not the answer. Throws Base64Error or
  // ResponseShapeError.
  // With `body` (the buffer this response reads), the longest image text is decoded into that
  // buffer itself, which the scan then takes over when that image is the one kept: the body is
  // no longer readable as JSON afterwards.
  InlineScan largest_inline_image(host::Bytes* body = nullptr);

  // What a call's report takes from the body; each member empty when missing or of another
  // type. Only read when a report is asked for.
  struct ReportFacts {
    nlohmann::ordered_json usage;  // "usageMetadata" as given, or null
    std::optional<std::string> model_version;
    std::optional<std::string> response_id;
    std::optional<std::string> block_reason;   // promptFeedback.blockReason
    std::optional<std::string> finish_reason;  // of the first candidate
    // The first candidate's text parts (thoughts left out), one per line; none without any.
    std::optional<std::string> text;
  };
  ReportFacts report_facts();

  // An inline image part of the first candidate that has any: its text, MIME type and whether
  // it is a thought.
  struct InlinePart {
    std::string_view data;
    std::string_view mime_type;
    bool thought = false;
  };
  std::vector<InlinePart> inline_parts();

  // The parts of the first candidate's content that are not thoughts, in order, as a
  // conversation keeps them: texts, inline images (their text still base64) and each part's
  // "thoughtSignature". Read before largest_inline_image, which overwrites the body.
  struct ModelPart {
    std::optional<std::string> text;
    std::string_view image_data;  // empty for a text part
    std::string mime_type;
    std::optional<std::string> thought_signature;
  };
  std::vector<ModelPart> model_parts();

  // Whether the body is an error ("error" at the top, not null): a stream's error event.
  bool has_error();

 private:
  host::internal::JsonDocument document_;
};

}  // namespace zantrel::image::tavelin::internal
