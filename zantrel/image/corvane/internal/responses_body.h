#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/http/streamed_body.h"

namespace zantrel::image::corvane::internal {

// What a Responses create says beside the images call's own members.
struct ResponseShape {
  std::string_view model;  // the model that calls the tool
  bool background = false;
  // The response a conversation's turn follows: its image is edited where the service keeps it.
  std::optional<std::string_view> previous_response_id;
};

// The exact JSON text of a Responses create for the images call whose members are `payload`
// (as the images endpoint would be sent them): "model", "input" (one user message: the prompt,
// then each reference as an "input_image" data URL of the caller's bytes, borrowed), "tools"
// (the image_generation tool with the image model and the image members, "action" edit when
// there are references, the mask as "input_image_mask"), "tool_choice" forcing the tool,
// "store", "background", "previous_response_id", then the end user's ids and the other members of
// `payload` that are not the tool's (a request's extra members).
host::StreamedBody responses_body(const nlohmann::ordered_json& payload,
                                  std::span<const host::ByteView> references,
                                  std::optional<host::ByteView> mask, const ResponseShape& shape);

// Why the call can't go over Responses as asked, before anything is sent.
std::optional<std::string> responses_refusal(const nlohmann::ordered_json& payload);

}  // namespace zantrel::image::corvane::internal
