#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zantrel/host/conversation.h"
#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/image/tavelin/generation_request.h"

namespace zantrel::image::tavelin::internal {

// Why `model` can't take the ratio or size asked (the size upper-cased), before anything is
// sent; nothing when it can. A model that takes no size at all is sent none, whatever was asked.
std::optional<std::string> ratio_or_size_refusal(const host::ModelInfo& model,
                                                 const std::string& ratio,
                                                 const std::optional<std::string>& size);

// Why `model` can't take the members `request` asks beyond the contract's (seed, temperature,
// safety settings, thinking level, text, extra), naming the parameter, the value and what the
// model takes; nothing when it can. `gateway`: the body also carries "response_format".
std::optional<std::string> parameter_refusal(const host::ModelInfo& model,
                                             const GenerationRequest& request, bool gateway);

// Why `request` can't be sent whatever the model: an extra that is no object or names a member
// the client writes. `parameter_refusal` asks it too; alone, it is all a model sent unchecked is
// asked.
std::optional<std::string> request_refusal(const GenerationRequest& request, bool gateway);

// The service's own refusal of a conversation whose model turn lost an image part's signature
// (Gemini 3 models sign each one and refuse the next request without it), or nothing. Positions
// count from 1, as the service's text does.
std::optional<std::string> signature_refusal(std::string_view model,
                                             std::span<const host::ConversationTurn> history);

// The public endpoint takes 100 MB of inline request at most: a larger body (in `direct` form)
// is refused before sending, naming its size. Nothing when it fits, or for a gateway.
std::optional<std::string> inline_size_refusal(std::size_t body_bytes, bool direct);

}  // namespace zantrel::image::tavelin::internal
