#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/image/tavelin/generation_request.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"

namespace zantrel::image::tavelin::internal {

// What an Interactions request says beside the request's own members.
struct InteractionShape {
  std::string_view model;
  std::optional<std::string_view> aspect_ratio;
  std::optional<std::string_view> image_size;
  bool background = false;
  // The interaction a conversation's next turn follows (the service keeps the turns before).
  std::optional<std::string_view> previous_interaction_id;
};

// The exact JSON text of an Interactions create as a streamed body: "model", "input" (the
// prompt, then each image as base64 of the caller's bytes, borrowed, or by its file when found
// in `links`), "response_format" (the image's ratio and size; a text format first when the
// request takes text), "generation_config" (seed, thinking level), "safety_settings", then
// "previous_interaction_id", "background" and the request's `extra` members.
host::StreamedBody interactions_body(std::string_view prompt, std::span<const host::Bytes> images,
                                     const InteractionShape& shape, const GenerationRequest* more,
                                     std::span<const ImageLink> links = {});

// Why the request can't go over Interactions, whose members differ from generateContent's (a
// temperature, say), before anything is sent.
std::optional<std::string> interactions_refusal(const GenerationRequest& request);

}  // namespace zantrel::image::tavelin::internal
