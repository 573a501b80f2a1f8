#pragma once

#include <nlohmann/json.hpp>

#include "zantrel/host/http/http_client.h"
#include "zantrel/image/corvane/corvane_client.h"

namespace zantrel::image::corvane::internal {

// The edits form: one text field per payload member in payload order (texts as they are, other
// values as their JSON text, so the number 1 becomes "1"), then one file part per pair, named by
// the pair's field name, with a file name and a content type from the image's signature
// ("application/octet-stream" when none matches). File parts borrow the pairs' bytes.
// `repeated_as_array`: when more than one part is named "image", each is sent as "image[]",
// the form the public endpoint reads as a list.
host::Form build_edit_form(const nlohmann::ordered_json& payload, const ImageParts& files,
                           bool repeated_as_array = false);

// The same edit as a JSON body (what a batch line carries): the payload, then "images" as a list
// of {"image_url": data URL} in order, and the "mask" part as {"image_url": data URL}.
nlohmann::ordered_json edit_json_body(nlohmann::ordered_json payload, const ImageParts& files);

}  // namespace zantrel::image::corvane::internal
