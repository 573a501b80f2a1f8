#pragma once

#include <string>
#include <variant>
#include <vector>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

class HttpClient;

// One reference image: a text (an "http://" or "https://" link, else a local path) or the
// image bytes themselves.
using Reference = std::variant<std::string, Bytes>;

// The reference images of a call: none, one text, one byte string, or a list of them.
using Files = std::variant<std::monostate, std::string, Bytes, std::vector<Reference>>;

// Whether any reference is given: none for no value and for an empty list.
bool has_references(const Files& files) noexcept;

// Loads references in input order: links through ImageTool (a link that yields nothing is
// dropped), existing paths read whole (a path where nothing exists is dropped), bytes as they
// are (an empty byte string inside a list included). A failing fetch or an unreadable path
// throws; nothing gathered before it is returned.
std::vector<Bytes> load_references(const Files& files);
// The same, fetching links through a given HTTP client.
std::vector<Bytes> load_references(const Files& files, HttpClient& client);

// Reads a whole file in binary mode; throws FileReadError (a directory included).
Bytes read_file_bytes(const std::string& path);

}  // namespace zantrel::host
