#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "tools/cli/output/decoded_image.h"
#include "zantrel/host/base/bytes.h"

namespace zantrel::cli {

// The ways a terminal can draw a picture in its text: the kitty graphics protocol (kitty,
// WezTerm, Ghostty) or DEC sixel (xterm -ti 340, foot, mlterm, Windows Terminal, ...).
enum class PreviewProtocol { kNone, kKitty, kSixel };

// The protocol a terminal draws by its environment (`getenv`): kitty's for KITTY_WINDOW_ID,
// TERM xterm-kitty or xterm-ghostty, TERM_PROGRAM WezTerm or ghostty. Sixel is not named by the
// environment; terminal_draws_sixel asks the terminal itself.
PreviewProtocol protocol_by_environment(const std::function<const char*(const char*)>& getenv);

// Asks the controlling terminal for its attributes (DA1) and gives whether it lists sixel
// graphics (4), waiting at most `wait_ms` for the answer. False without a terminal.
bool terminal_draws_sixel(int wait_ms = 150);

// The protocol to draw the previews on standard output with, for --preview `asked`: "" (not
// given), the one the terminal draws, none when it is no terminal or draws neither; "auto" forces
// one (the one detected, else kitty's); "kitty" and "sixel" name it; "off" draws none.
PreviewProtocol choose_preview(const std::string& asked);

// The image scaled down (box filter) to fit `width` x `height`, never up.
DecodedImage fit_within(const DecodedImage& image, int width, int height);

// The escape sequences that draw the pixels, each ending on the line below the picture.
std::string kitty_picture(const DecodedImage& image);
std::string sixel_picture(const DecodedImage& image);

// Writes a small picture of `image` (PNG, JPEG or WebP) to `out` with `protocol`; an image
// that can't be decoded draws nothing.
void show_preview(std::ostream& out, host::ByteView image, PreviewProtocol protocol);

}  // namespace zantrel::cli
