#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/emulator/scenario.h"

namespace zantrel::emulator {

// Gemini's Files API: files uploaded with the resumable protocol, kept until they expire.
//   POST /upload/v1beta/files               X-Goog-Upload-Command: start
//   POST /upload/v1beta/files?upload_id=ID  query | upload | upload, finalize
//   GET  /v1beta/files/{id}                 the file's resource
class GeminiFiles {
 public:
  struct File {
    std::string id;
    std::string display_name;
    std::string mime_type;
    std::string bytes;
    std::chrono::system_clock::time_point created;
    std::chrono::system_clock::time_point expires;
  };

  // One upload command; `base_url` is where the store is served.
  void upload(const httplib::Request& req, httplib::Response& res, const Scenario& scenario,
              const std::string& base_url);
  void get(const std::string& id, httplib::Response& res, const std::string& base_url) const;

  // Keeps `bytes` as a file of the service's own making (a batch's results); gives its id.
  std::string add(std::string display_name, std::string mime_type, std::string bytes);
  // The bytes of a kept file, nothing when it is unknown or expired.
  std::optional<std::string> content(const std::string& id) const;

  // Whether the file a request's part names by its link is kept (uploaded and not expired).
  bool holds(std::string_view uri, const std::string& base_url) const;
  // The resource the API describes a file with.
  static nlohmann::ordered_json resource(const File& file, const std::string& base_url);

  // Files whose upload finished, and their bytes.
  std::uint64_t uploads() const;
  std::uint64_t bytes_uploaded() const;

 private:
  struct Session {
    std::string display_name;
    std::string mime_type;
    std::uint64_t size = 0;
    std::string received;
    bool cut_once = false;
    std::chrono::seconds kept_for{0};
    bool final = false;
    std::string file_id;
  };

  mutable std::mutex mutex_;
  std::map<std::string, Session> sessions_;
  std::map<std::string, File> files_;
  std::uint64_t next_id_ = 0;
  std::uint64_t uploads_ = 0;
  std::uint64_t bytes_uploaded_ = 0;
};

}  // namespace zantrel::emulator
