#pragma once

#include <string>

namespace zantrel::cli {

// The one line on standard error that shows how a command goes (spinner, batch progress,
// provider polls): drawn anew in place, and cleared before anything else is printed. Callers
// draw it only on a terminal; every command's status goes through here.
void draw_status_line(const std::string& text);
void clear_status_line();

}  // namespace zantrel::cli
