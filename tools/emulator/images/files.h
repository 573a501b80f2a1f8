#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tools/emulator/batch_engine.h"

namespace zantrel::emulator {

// The images API's files: a batch's input uploaded, its output and error files kept.
//   POST /v1/files (multipart, purpose=batch), GET /v1/files/{id}/content
class ImagesFiles {
 public:
  struct File {
    std::string filename;
    std::string purpose;
    std::string bytes;
    std::int64_t created = 0;
  };

  explicit ImagesFiles(BatchEngine& engine) : engine_(engine) {}

  void upload(const httplib::Request& req, httplib::Response& res);
  void content(const std::string& id, httplib::Response& res);

  // Keeps a file of the service's own making; gives its id.
  std::string keep(File file);
  std::optional<File> find(const std::string& id) const;

 private:
  BatchEngine& engine_;
  mutable std::mutex mutex_;
  std::map<std::string, File> files_;
};

std::int64_t unix_seconds(std::chrono::system_clock::time_point time);

}  // namespace zantrel::emulator
