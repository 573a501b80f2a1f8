#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zantrel::test_support {

// A random API key that must never appear in a log, an error text, an output or a file. It
// holds characters that URL-encoding changes, so each form below is distinct.
std::string make_canary_key();

// The key as it could leak: raw, URL-encoded, and base64 at each of the three byte alignments
// (whole groups only, so they match inside any longer base64 text).
std::vector<std::string> canary_forms(const std::string& key);

// True when `text` holds the key in any of its forms.
bool leaks(std::string_view text, const std::string& key);

// The files under `dir` whose bytes hold the key in any form.
std::vector<std::string> leaking_files(const std::filesystem::path& dir, const std::string& key);

}  // namespace zantrel::test_support
