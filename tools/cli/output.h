#pragma once

#include <optional>
#include <string>

#include "zantrel/host/bytes.h"
#include "zantrel/host/dialect.h"
#include "zantrel/host/service_result.h"

namespace zantrel::cli {

// Lowercase hex SHA-256 of the bytes.
std::string sha256_hex(host::ByteView bytes);

// Writes the bytes to `path` through a temporary file in the same folder, renamed into place,
// so a reader never sees half an image. Throws std::runtime_error with the reason.
void write_file_atomically(const std::string& path, host::ByteView bytes);

// A new file name for an image of this service in the current folder, from the time and the
// image's type: zantrel-gemini-20261208-013502.png (a counter is added if it exists).
std::string default_output_name(const std::string& service, host::ByteView image);

// The --json report: exactly one object with "ok", "code", "msg", "kind", "bytes", "sha256",
// "out", "link" and "dialect", absent values as null.
std::string json_report(const host::ServiceResult& result, const std::optional<std::string>& out,
                        host::Dialect dialect);

}  // namespace zantrel::cli
