#include "tools/cli/terminal/status_line.h"

#include <cstdio>

namespace zantrel::cli {

void draw_status_line(const std::string& text) {
  // Back to the line's start, the text, and what the line said before cleared to its end.
  std::fprintf(stderr, "\r%s\033[K", text.c_str());
  std::fflush(stderr);
}

void clear_status_line() {
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace zantrel::cli
