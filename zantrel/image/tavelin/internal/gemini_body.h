#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/image/tavelin/generation_request.h"

namespace zantrel::image::tavelin::internal {

// A user image the request names by its copy in the service's file store instead of sending it.
struct ImageLink {
  host::ByteView image;
  host::UploadedFile file;
};

// The exact JSON text of a generateContent body as a streamed body, members in the order the
// client builds them: the texts between the images, and each image as the base64 of the caller's
// bytes (borrowed: `images` must outlive the post).
// `image_size` is sent as given (the caller upper-cases it); empty or absent values leave their
// member out, and "imageConfig" goes when it would be empty. The top-level "response_format"
// member is written only when `response_format_member` is set (the gateway form).
// With `more`, its members beyond the contract's follow: TEXT among the response modalities,
// "seed", "temperature" and "thinkingConfig" in "generationConfig", then "safetySettings" and the
// `extra` members at the top level (checked before: see parameter_refusal). Without any of them
// the body is the contract's. `history`: the turns of a conversation so far, written before the
// new user turn as they were sent and answered, each part's "thoughtSignature" unchanged (their
// images borrowed too). A user image (of `images` or of a user turn) found in `links` goes as
// {"fileData": {"mimeType", "fileUri"}} instead of its bytes.
host::StreamedBody gemini_body(std::string_view prompt, std::span<const host::Bytes> images,
                               std::optional<std::string_view> aspect_ratio,
                               std::optional<std::string_view> image_size,
                               bool response_format_member = true,
                               const GenerationRequest* more = nullptr,
                               std::span<const host::ConversationTurn> history = {},
                               std::span<const ImageLink> links = {});

// The same body in one buffer.
host::Bytes write_gemini_body(std::string_view prompt, std::span<const host::Bytes> images,
                              std::optional<std::string_view> aspect_ratio,
                              std::optional<std::string_view> image_size,
                              bool response_format_member = true);

// The MIME type sent for an image: its signature's type, else "image/jpeg".
std::string_view gemini_mime_type(host::ByteView image) noexcept;

}  // namespace zantrel::image::tavelin::internal
