#pragma once

// Text inside XML or HTML markup.

#include <string>
#include <string_view>

namespace zantrel::host {

// The text with & < > " ' written as entities: safe as an element's text and inside a quoted
// attribute of XML (an XMP packet) and HTML alike.
std::string markup_escaped(std::string_view text);

// The five entities above read back; any other is left as it stands, as is a lone "&".
std::string markup_unescaped(std::string_view text);

}  // namespace zantrel::host
