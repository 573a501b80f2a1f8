#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/call/exchange.h"
#include "zantrel/host/call/task.h"
#include "zantrel/host/conversation.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"

namespace zantrel::image::tavelin::internal {

// Where uploads go and how they are signed: the service's base address, the dialect's key
// header, and each exchange's time-out.
struct UploadTarget {
  std::string base_url;
  host::Headers::value_type auth;
  host::Timeout timeout;
};

// A cut or failing upload goes on from where it stopped this many times before it fails.
inline constexpr int kMaxUploadResumes = 3;

// What an upload came to: the file, or the service's refusal of it (status and body).
struct UploadOutcome {
  std::optional<host::UploadedFile> file;
  int status_code = 0;
  std::string error_body;
  int resumes = 0;
};

// Uploads `bytes` to the Files API with the resumable protocol: "start" names the size and type
// and is answered with the session's address, then the bytes go with "upload, finalize". A cut or
// a 5xx answer on the way is resumed from the byte the service says it holds ("query"), up to
// kMaxUploadResumes times; a failure past that is thrown. The key goes only to the service's
// own origin: a session address elsewhere is refused (ResponseShapeError).
struct FileToUpload {
  host::ByteView bytes;  // borrowed until the upload ends
  std::string mime_type;
  std::string display_name;
};
host::internal::Task<UploadOutcome> upload_file(const UploadTarget& target, FileToUpload file,
                                                const host::internal::Exchange& exchange);

// The file a Files API answer describes ({"file": {...}}, or the file itself). Without an
// "expirationTime" it is taken to last the service's 48 hours. Throws when it names no "uri".
host::UploadedFile read_uploaded_file(std::string_view body);

// What linking a request's user images came to: the link of each, and what it took.
struct LinkedImages {
  std::vector<ImageLink> links;
  std::optional<UploadOutcome> refused;  // an upload the service refused (nothing else sent)
  int uploaded = 0;
  std::uint64_t bytes_uploaded = 0;
  int resumes = 0;
};

// A file kept this long or less is uploaded again rather than named (a request takes a while).
inline constexpr std::chrono::minutes kExpiryMargin{10};

// The link of every user image of `history` and of `images`: the file it was uploaded as while
// that is kept long enough, the link of an equal image, else a new upload. Model images are sent
// back inline, as they were answered, with their signatures.
host::internal::Task<LinkedImages> link_user_images(const UploadTarget& target,
                                                    std::span<const host::Bytes> images,
                                                    std::span<const host::ConversationTurn> history,
                                                    const host::internal::Exchange& exchange);

}  // namespace zantrel::image::tavelin::internal
