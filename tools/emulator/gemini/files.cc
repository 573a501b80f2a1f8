#include "tools/emulator/gemini/files.h"

#include <charconv>
#include <cstdio>

#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::system_clock;

constexpr std::string_view kFilesPath = "/v1beta/files/";
constexpr auto kKeptFor = std::chrono::hours(48);

void send_error(httplib::Response& res, int code, const std::string& message, const char* status) {
  res.status = code;
  res.set_content(gemini_error_body(code, message, status).dump(), "application/json");
}

std::optional<std::uint64_t> number_of(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// RFC 3339 with microseconds, as the service writes its times.
std::string time_text(Clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count() %
      1'000'000;
  std::string text = host::format_rfc3339(time);
  char fraction[16];
  std::snprintf(fraction, sizeof fraction, ".%06lldZ", static_cast<long long>(micros));
  text.replace(text.size() - 1, 1, fraction);
  return text;
}

}  // namespace

json GeminiFiles::resource(const File& file, const std::string& base_url) {
  return {{"name", "files/" + file.id},
          {"displayName", file.display_name},
          {"mimeType", file.mime_type},
          {"sizeBytes", std::to_string(file.bytes.size())},
          {"createTime", time_text(file.created)},
          {"updateTime", time_text(file.created)},
          {"expirationTime", time_text(file.expires)},
          {"uri", base_url + std::string(kFilesPath) + file.id},
          {"state", "ACTIVE"},
          {"source", "UPLOADED"}};
}

void GeminiFiles::upload(const httplib::Request& req, httplib::Response& res,
                         const Scenario& scenario, const std::string& base_url) {
  const std::string command = req.get_header_value("X-Goog-Upload-Command");
  std::lock_guard lock(mutex_);
  if (!req.has_param("upload_id")) {
    if (command != "start" || req.get_header_value("X-Goog-Upload-Protocol") != "resumable") {
      send_error(res, 400,
                 "Uploads start with X-Goog-Upload-Protocol: resumable and "
                 "X-Goog-Upload-Command: start",
                 "INVALID_ARGUMENT");
      return;
    }
    const auto size = number_of(req.get_header_value("X-Goog-Upload-Header-Content-Length"));
    if (!size || *size == 0) {
      send_error(res, 400, "X-Goog-Upload-Header-Content-Length must name the file's size",
                 "INVALID_ARGUMENT");
      return;
    }
    Session session;
    session.size = *size;
    session.mime_type = req.get_header_value("X-Goog-Upload-Header-Content-Type");
    const json body = json::parse(req.body, nullptr, false);
    if (body.is_object() && body.contains("file") && body["file"].is_object()) {
      const json& file = body["file"];
      const json name =
          file.contains("displayName") ? file["displayName"] : file.value("display_name", json());
      if (name.is_string()) session.display_name = name.get<std::string>();
    }
    session.cut_once = scenario.fault != Fault::kUploadCut;
    session.kept_for = scenario.fault == Fault::kFileTtl ? std::chrono::seconds(scenario.number(60))
                                                         : std::chrono::seconds(kKeptFor);
    char id[24];
    std::snprintf(id, sizeof id, "u%015llx",
                  static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 4));
    sessions_[id] = std::move(session);
    res.status = 200;
    res.set_header("X-Goog-Upload-Status", "active");
    res.set_header("X-Goog-Upload-URL", base_url + "/upload/v1beta/files?upload_id=" + id +
                                            "&upload_protocol=resumable");
    res.set_header("X-Goog-Upload-Chunk-Granularity", "8388608");
    return;
  }
  const auto found = sessions_.find(req.get_param_value("upload_id"));
  if (found == sessions_.end()) {
    send_error(res, 404, "No upload session has that id.", "NOT_FOUND");
    return;
  }
  Session& session = found->second;
  const auto answer_status = [&] {
    res.status = 200;
    res.set_header("X-Goog-Upload-Status", session.final ? "final" : "active");
    const std::size_t received =
        session.final ? files_.at(session.file_id).bytes.size() : session.received.size();
    res.set_header("X-Goog-Upload-Size-Received", std::to_string(received));
    if (session.final) {
      res.set_content(json{{"file", resource(files_.at(session.file_id), base_url)}}.dump(),
                      "application/json");
    }
  };
  if (command == "query" || session.final) {
    answer_status();
    return;
  }
  if (command != "upload" && command != "upload, finalize") {
    send_error(res, 400, "Unknown X-Goog-Upload-Command: " + command, "INVALID_ARGUMENT");
    return;
  }
  const auto offset = number_of(req.get_header_value("X-Goog-Upload-Offset"));
  if (!offset || *offset != session.received.size()) {
    send_error(res, 400,
               "X-Goog-Upload-Offset must be " + std::to_string(session.received.size()) +
                   ", the bytes received so far",
               "INVALID_ARGUMENT");
    return;
  }
  if (session.received.size() + req.body.size() > session.size) {
    send_error(res, 400, "The upload is longer than the size it was started with.",
               "INVALID_ARGUMENT");
    return;
  }
  if (!session.cut_once) {
    // Half of the bytes arrive; then the connection goes, after the answer's headers.
    session.cut_once = true;
    session.received.append(req.body, 0, req.body.size() / 2);
    res.set_content_provider(64, "application/json",
                             [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    return;
  }
  const bool finalize = command == "upload, finalize";
  // A refused command takes none of its bytes.
  if (finalize && session.received.size() + req.body.size() != session.size) {
    send_error(res, 400,
               "The upload was finalized with " +
                   std::to_string(session.received.size() + req.body.size()) + " of its " +
                   std::to_string(session.size) + " bytes.",
               "INVALID_ARGUMENT");
    return;
  }
  session.received += req.body;
  if (finalize) {
    File file;
    file.id = found->first.substr(1);
    file.display_name = session.display_name;
    file.mime_type = session.mime_type;
    file.bytes = std::move(session.received);
    file.created = Clock::now();
    file.expires = file.created + session.kept_for;
    session.final = true;
    session.file_id = file.id;
    ++uploads_;
    bytes_uploaded_ += file.bytes.size();
    files_[file.id] = std::move(file);
  }
  answer_status();
}

void GeminiFiles::get(const std::string& id, httplib::Response& res,
                      const std::string& base_url) const {
  std::lock_guard lock(mutex_);
  const auto found = files_.find(id);
  if (found == files_.end() || found->second.expires <= Clock::now()) {
    send_error(res, 403,
               "You do not have permission to access the File " + id + " or it may not exist.",
               "PERMISSION_DENIED");
    return;
  }
  res.set_content(resource(found->second, base_url).dump(), "application/json");
}

std::string GeminiFiles::add(std::string display_name, std::string mime_type, std::string bytes) {
  std::lock_guard lock(mutex_);
  File file;
  char id[24];
  std::snprintf(id, sizeof id, "batch-%012llx",
                static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 16));
  file.id = id;
  file.display_name = std::move(display_name);
  file.mime_type = std::move(mime_type);
  file.bytes = std::move(bytes);
  file.created = Clock::now();
  file.expires = file.created + kKeptFor;
  files_[file.id] = std::move(file);
  return id;
}

std::optional<std::string> GeminiFiles::content(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = files_.find(id);
  if (found == files_.end() || found->second.expires <= Clock::now()) return std::nullopt;
  return found->second.bytes;
}

bool GeminiFiles::holds(std::string_view uri, const std::string& base_url) const {
  const std::string prefix = base_url + std::string(kFilesPath);
  if (!uri.starts_with(prefix)) return false;
  std::lock_guard lock(mutex_);
  const auto found = files_.find(std::string(uri.substr(prefix.size())));
  return found != files_.end() && found->second.expires > Clock::now();
}

std::uint64_t GeminiFiles::uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

std::uint64_t GeminiFiles::bytes_uploaded() const {
  std::lock_guard lock(mutex_);
  return bytes_uploaded_;
}

}  // namespace zantrel::emulator
