#pragma once

#include <optional>
#include <string>

#include "zantrel/host/model_catalogue.h"
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

}  // namespace zantrel::image::tavelin::internal
