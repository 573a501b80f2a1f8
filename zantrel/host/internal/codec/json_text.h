#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zantrel::host {

// Where `text` first fails to be UTF-8 (a byte offset), or nothing when it is valid.
std::optional<std::size_t> first_invalid_utf8(std::string_view text);

// Number of bytes append_json_string() will write for `text`, quotes included.
std::size_t json_string_size(std::string_view text);

// Appends `text` as a quoted JSON string: quotes, backslashes and control characters escaped,
// invalid UTF-8 replaced by U+FFFD so that the output is always valid JSON text.
void append_json_string(std::string& out, std::string_view text);

// Writes the same bytes at `out`, which must have room for json_string_size(text); returns the
// end of what was written.
char* write_json_string(char* out, std::string_view text);

}  // namespace zantrel::host
