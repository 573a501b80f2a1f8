#pragma once

#include <map>
#include <optional>
#include <string>

#include "tools/emulator/dialect_checks.h"
#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::emulator {

// What the public images endpoint refuses in the text fields of a generations or edits request:
// "response_format" for gpt-image models, an empty "size" or "quality", and a size the model
// does not take (the gpt-image-1 family takes listed sizes only).
// `served`: the model's entry in the day's lineup (nullptr: not served, 404 "model_not_found";
// one the catalogue does not describe is asked only what every model is).
std::optional<Refusal> check_images_fields(const std::map<std::string, std::string>& fields,
                                           const host::ModelInfo* served);

}  // namespace zantrel::emulator
