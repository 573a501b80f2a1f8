#pragma once

#include <optional>
#include <string>

#include "zantrel/host/images/image_header.h"
#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/image/corvane/image_request.h"

namespace zantrel::image::corvane::internal {

// Why `request` can't be sent to `model` (nullptr: a model the catalogue does not know, which a
// gateway may still route; only the values are checked then), naming the parameter, the value
// and what the model takes; nothing when it can. `edits`: reference images are sent.
// `unchecked`: the model goes to the service unchecked (the direct dialect's unknown names), so
// only what the client itself bounds is asked (n, ranges, edits-only members, extra).
std::optional<std::string> parameter_refusal(const host::ModelInfo* model,
                                             const ImageRequest& request, bool edits,
                                             bool unchecked = false);

// Why a mask can't go with the first reference image (of `first_image_size`, when its header
// tells): it must be a PNG of the same size.
std::optional<std::string> mask_refusal(host::ByteView mask,
                                        std::optional<host::ImageDimensions> first_image_size);

// Why `extra` can't be merged into `payload`: not an object, or a key the client wrote.
std::optional<std::string> extra_refusal(const nlohmann::ordered_json& extra,
                                         const nlohmann::ordered_json& payload);

}  // namespace zantrel::image::corvane::internal
