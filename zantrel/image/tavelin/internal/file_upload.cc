#include "zantrel/image/tavelin/internal/file_upload.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>

#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::image::tavelin::internal {
namespace {

using host::internal::Task;
using json = nlohmann::ordered_json;

constexpr auto kKeptFor = std::chrono::hours(48);

// "scheme://host[:port]" of an address, lower-cased.
std::string origin_of(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  const auto path = url.find_first_of("/?#", scheme_end + 3);
  std::string origin(url.substr(0, path));
  std::transform(origin.begin(), origin.end(), origin.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return origin;
}

std::optional<std::uint64_t> number_of(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

// The service's refusal in `outcome`, which is handed back.
UploadOutcome refused(UploadOutcome outcome, const host::HttpResponse& answer) {
  outcome.status_code = answer.status_code;
  outcome.error_body = std::string(answer.text());
  return outcome;
}

bool is_final(const host::HttpResponse& response) {
  const auto status = response.header("x-goog-upload-status");
  return !status || *status == "final";
}

// A failure an upload goes on from: the connection lost or a time-out, not the call's stop or
// deadline and not a request refused before sending.
bool resumable(const std::exception_ptr& failure) {
  const host::FailureKind kind = host::failure_kind(failure);
  return kind == host::FailureKind::kConnectionError || kind == host::FailureKind::kReadTimeout;
}

}  // namespace

host::UploadedFile read_uploaded_file(std::string_view body) {
  const json answer = host::internal::decode_json(body);
  const json& file = answer.is_object() && answer.contains("file") ? answer["file"] : answer;
  if (!file.is_object() || !file.contains("uri") || !file["uri"].is_string()) {
    throw host::ResponseShapeError("the Files API answer names no file uri");
  }
  host::UploadedFile out;
  out.uri = file["uri"].get<std::string>();
  if (file.contains("name") && file["name"].is_string()) out.name = file["name"].get<std::string>();
  if (file.contains("mimeType") && file["mimeType"].is_string()) {
    out.mime_type = file["mimeType"].get<std::string>();
  }
  std::optional<std::chrono::system_clock::time_point> expires;
  if (file.contains("expirationTime") && file["expirationTime"].is_string()) {
    expires = host::parse_rfc3339(file["expirationTime"].get<std::string>());
  }
  out.expires = expires.value_or(std::chrono::system_clock::now() + kKeptFor);
  if (file.contains("state") && file["state"] == "FAILED") {
    throw host::ResponseShapeError("the Files API could not keep the file " + out.name);
  }
  return out;
}

Task<UploadOutcome> upload_file(const UploadTarget& target, FileToUpload file,
                                const host::internal::Exchange& exchange) {
  const host::ByteView bytes = file.bytes;
  const std::string& mime_type = file.mime_type;
  UploadOutcome outcome;
  const std::string start_url = target.base_url + "/upload/v1beta/files";
  host::PostRequest start;
  start.headers = {target.auth,
                   {"X-Goog-Upload-Protocol", "resumable"},
                   {"X-Goog-Upload-Command", "start"},
                   {"X-Goog-Upload-Header-Content-Length", std::to_string(bytes.size())},
                   {"X-Goog-Upload-Header-Content-Type", mime_type},
                   {"Content-Type", "application/json"}};
  start.body = host::JsonBody::of(json{{"file", {{"displayName", file.display_name}}}}.dump());
  start.timeout = target.timeout;
  const host::HttpResponse started = co_await exchange.post(start_url, start);
  if (started.status_code != 200) {
    co_return refused(std::move(outcome), started);
  }
  const auto session = started.header("x-goog-upload-url");
  if (!session || session->empty()) {
    throw host::ResponseShapeError("the Files API's answer to start an upload names no address");
  }
  const std::string url(*session);
  // The session address carries the upload; the key goes along only to the service itself.
  if (origin_of(url) != origin_of(target.base_url)) {
    throw host::ResponseShapeError("the Files API named an upload address on another host");
  }

  std::uint64_t offset = 0;
  for (;;) {
    host::PostRequest upload;
    // Typed, or an HTTP stack would call the bytes a url-encoded form.
    upload.headers = {target.auth,
                      {"X-Goog-Upload-Command", "upload, finalize"},
                      {"X-Goog-Upload-Offset", std::to_string(offset)},
                      {"Content-Type", mime_type}};
    upload.body = host::StreamedBody{{host::BytesOf{bytes.subspan(offset)}}};
    upload.timeout = target.timeout;
    std::optional<host::HttpResponse> answer;
    std::exception_ptr failure;
    try {
      answer.emplace(co_await exchange.post(url, upload));
    } catch (...) {
      failure = std::current_exception();
    }
    if (answer && answer->status_code == 200 && is_final(*answer)) {
      outcome.file = read_uploaded_file(answer->text());
      co_return outcome;
    }
    const bool server_fault = answer && answer->status_code >= 500;
    if (answer && !server_fault && answer->status_code != 200) {
      co_return refused(std::move(outcome), *answer);
    }
    if ((failure && !resumable(failure)) || outcome.resumes == kMaxUploadResumes) {
      if (failure) std::rethrow_exception(failure);
      co_return refused(std::move(outcome), *answer);
    }
    // Ask how much arrived, and go on from there.
    ++outcome.resumes;
    host::PostRequest query;
    query.headers = {target.auth,
                     {"X-Goog-Upload-Command", "query"},
                     {"Content-Type", "application/octet-stream"}};
    query.body = host::JsonBody{};
    query.timeout = target.timeout;
    const host::HttpResponse status = co_await exchange.post(url, query);
    if (status.status_code != 200) {
      co_return refused(std::move(outcome), status);
    }
    if (const auto state = status.header("x-goog-upload-status"); state && *state == "final") {
      outcome.file = read_uploaded_file(status.text());
      co_return outcome;
    }
    const auto received = number_of(status.header("x-goog-upload-size-received"));
    if (!received || *received > bytes.size()) {
      throw host::ResponseShapeError("the Files API's upload status names no size received");
    }
    offset = *received;
  }
}

Task<LinkedImages> link_user_images(const UploadTarget& target, std::span<const host::Bytes> images,
                                    std::span<const host::ConversationTurn> history,
                                    const host::internal::Exchange& exchange) {
  LinkedImages out;
  const auto now = std::chrono::system_clock::now();
  struct Wanted {
    host::ByteView image;
    const host::UploadedFile* kept;
    std::string_view mime_type;
  };
  std::vector<Wanted> wanted;
  for (const host::ConversationTurn& turn : history) {
    if (turn.role != "user") continue;
    for (const host::ConversationPart& part : turn.parts) {
      if (!part.image) continue;
      wanted.push_back({*part.image, part.file ? &*part.file : nullptr, part.mime_type});
    }
  }
  for (const host::Bytes& image : images) wanted.push_back({image, nullptr, {}});

  for (const Wanted& want : wanted) {
    const auto same = [&](const ImageLink& link) {
      return link.image.data() == want.image.data() ||
             (link.image.size() == want.image.size() &&
              std::memcmp(link.image.data(), want.image.data(), want.image.size()) == 0);
    };
    if (const auto linked = std::find_if(out.links.begin(), out.links.end(), same);
        linked != out.links.end()) {
      if (linked->image.data() != want.image.data())
        out.links.push_back({want.image, linked->file});
      continue;
    }
    if (want.kept != nullptr && want.kept->expires - now > kExpiryMargin) {
      out.links.push_back({want.image, *want.kept});
      continue;
    }
    const std::string mime(want.mime_type.empty() ? gemini_mime_type(want.image) : want.mime_type);
    // Named: GCC 12 mishandles a temporary that lives across a co_await.
    FileToUpload file{want.image, mime, "zantrel reference"};
    UploadOutcome uploaded = co_await upload_file(target, std::move(file), exchange);
    out.resumes += uploaded.resumes;
    if (!uploaded.file) {
      out.refused = std::move(uploaded);
      co_return out;
    }
    ++out.uploaded;
    out.bytes_uploaded += want.image.size();
    if (uploaded.file->mime_type.empty()) uploaded.file->mime_type = mime;
    out.links.push_back({want.image, std::move(*uploaded.file)});
  }
  co_return out;
}

}  // namespace zantrel::image::tavelin::internal
