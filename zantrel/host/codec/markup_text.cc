#include "zantrel/host/codec/markup_text.h"

namespace zantrel::host {

std::string markup_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string markup_unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const auto end = text.find(';', i);
    if (end == std::string_view::npos) {
      out += text.substr(i);
      break;
    }
    const std::string_view entity = text.substr(i + 1, end - i - 1);
    out += entity == "amp"    ? "&"
           : entity == "lt"   ? "<"
           : entity == "gt"   ? ">"
           : entity == "quot" ? "\""
           : entity == "apos" ? "'"
                              : std::string(text.substr(i, end - i + 1));
    i = end;
  }
  return out;
}

}  // namespace zantrel::host
