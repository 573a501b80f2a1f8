#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/base/dialect.h"
#include "zantrel/host/codec/sha256.h"
#include "zantrel/host/images/image_metadata.h"
#include "zantrel/host/models/model_catalogue.h"
#include "zantrel/host/result/call_report.h"
#include "zantrel/host/result/service_result.h"

namespace zantrel::cli {

using host::sha256_hex;

// Writes the bytes to `path` through a temporary file in the same folder, renamed into place,
// so a reader never sees half an image. Throws std::runtime_error with the reason.
// kSynced waits until the bytes are on the disk (fsync) before the rename; kCached leaves that to
// the system, for callers that check what they wrote later (the batch's sha256 on --resume).
enum class Durability { kSynced, kCached };
void write_file_atomically(const std::string& path, host::ByteView bytes,
                           Durability durability = Durability::kSynced);

// An image file as written: its size and sha256 (of the file, metadata and all).
struct WrittenFile {
  std::size_t bytes = 0;
  std::string sha256;
};
// Writes `image` as write_file_atomically does, with `metadata` in it when there is one (the
// image's own bytes untouched; an image of a type that carries none is written as it is).
WrittenFile write_image_file(const std::string& path, host::ByteView image,
                             const std::optional<host::ImageMetadata>& metadata,
                             Durability durability = Durability::kSynced);

// Why an image can't be written at `path`, told before a call is paid for: an empty name, a
// folder, a folder that does not exist or can't be written into, a file that is not a regular
// one or is read-only (it is refused, not replaced). Nothing when it can.
std::optional<std::string> output_fault(const std::string& path);

// Keeps an image that could not be written where it was asked for (a full disk, a folder gone)
// in the user's state folder, $XDG_STATE_HOME/zantrel/unsaved (else ~/.local/state/...), under a
// new name of this service and the image's type. Returns its path and the file's facts; throws
// when that fails too.
struct KeptImage {
  std::string path;
  WrittenFile file;
};
KeptImage keep_unsaved(host::Service service, host::ByteView image,
                       const std::optional<host::ImageMetadata>& metadata);

// An image that could not be written where asked (`why`), kept by keep_unsaved: says why and
// where on stderr and gives that path, `file` its facts (nothing when even that failed).
std::optional<std::string> keep_image_elsewhere(host::Service service, host::ByteView image,
                                                const std::optional<host::ImageMetadata>& facts,
                                                const std::string& why,
                                                std::optional<WrittenFile>& file);

// What a command that writes files says of an answer that is only a link it could not fetch.
std::string unfetched_link_note(const std::string& link);

// A new file name for an image of this service in the current folder, from the time and the
// image's type: zantrel-gemini-20261208-013502.png (a counter is added if it exists).
std::string default_output_name(host::Service service, host::ByteView image);

// `name` with "-INDEX" before its extension: a.png -> a-2.png (no extension: a -> a-2).
std::string numbered_name(const std::string& name, int index);

// The --json report: exactly one object with "ok", "code", "msg", "kind", "bytes", "sha256",
// "out", "link", "dialect" and "report" (the call report), absent values as null.
std::string json_report(const host::ServiceResult& result, const std::optional<std::string>& out,
                        host::Dialect dialect, const host::CallReport& report,
                        std::size_t image = 0, const std::optional<WrittenFile>& written = {});
// The same object, undumped. `image`: which of the result's images "bytes" and "sha256" are of;
// with `written`, they are those of the file written (its metadata in it).
nlohmann::ordered_json json_report_object(const host::ServiceResult& result,
                                          const std::optional<std::string>& out,
                                          host::Dialect dialect, const host::CallReport& report,
                                          std::size_t image = 0,
                                          const std::optional<WrittenFile>& written = {});

// `text` safe to print on a terminal: control characters (C0 but line breaks and tabs, DEL, and
// the C1 range) shown as \xHH or \u00HH, so that text from an image or a service can't move the
// cursor, change colours or set the window title.
std::string terminal_text(std::string_view text);

// "1,290": a count with its thousands marked.
std::string with_thousands(std::int64_t value);

// "$0.1344", "$12.40": to four places under a dollar, to two above.
std::string dollars(double usd);

// What a failed call's line says of it: the message, else its cause from the report (the
// kind of failure, the HTTP status, the service's error code), safe for a terminal.
std::string failure_text(const host::ServiceResult& result, const host::CallReport& report);

// One line for a person: what was written and what it cost ("wrote a.png: 2048x1152 PNG,
// 3.1 MB, 1,290 output tokens, about $0.1548, 41.2 s (upload 0.3 s, waiting 39.0 s, download 1.9
// s)"), or the failure with its retry hint and request id when there are any.
std::string human_summary(const host::ServiceResult& result, const std::optional<std::string>& out,
                          const host::CallReport& report);

}  // namespace zantrel::cli
