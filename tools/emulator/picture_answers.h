#pragma once

// What both services' answers are made of: the picture's base64, the file a link scenario
// points at, and tokens counted roughly as the services count them.

#include <cstdint>
#include <optional>
#include <string>

#include "tools/emulator/picture.h"
#include "tools/emulator/scenario.h"

namespace zantrel::emulator {

// A token per four characters of text.
int text_tokens(const std::string& text);

// The name of a picture served under /files/.
std::string file_id(std::uint64_t seed, int width, int height);

// The file id a link scenario points at, or nothing for scenarios that answer inline.
std::optional<std::string> link_id(const Scenario& s, std::uint64_t seed, int width, int height);

// The base64 image for a success answer, shaped by the scenario: a picture of the asked size, a
// small one ("small-delay"), or one padded to many mebibytes ("large").
std::string picture_data(const Scenario& s, std::uint64_t seed, int width, int height,
                         const PictureStyle& style = {});

}  // namespace zantrel::emulator
