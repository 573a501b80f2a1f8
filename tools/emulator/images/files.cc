#include "tools/emulator/images/files.h"

#include "tools/emulator/wire_errors.h"

namespace zantrel::emulator {

std::int64_t unix_seconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

void ImagesFiles::upload(const httplib::Request& req, httplib::Response& res) {
  if (!req.is_multipart_form_data() || !req.has_file("file") || !req.has_file("purpose")) {
    send_images_error(res, 400, "A file upload takes the multipart fields 'file' and 'purpose'.");
    return;
  }
  const auto purpose = req.get_file_value("purpose").content;
  if (purpose != "batch") {
    send_images_error(res, 400,
                      "'" + purpose + "' is not a purpose this emulator keeps files for.");
    return;
  }
  const auto part = req.get_file_value("file");
  const File file{part.filename, purpose, part.content,
                  unix_seconds(std::chrono::system_clock::now())};
  const std::string id = keep(file);
  send_json(res, 200,
            {{"id", id},
             {"object", "file"},
             {"bytes", file.bytes.size()},
             {"created_at", file.created},
             {"filename", file.filename},
             {"purpose", file.purpose}});
}

void ImagesFiles::content(const std::string& id, httplib::Response& res) {
  auto file = find(id);
  if (!file) {
    send_images_error(res, 404, "No such File object: " + id);
    return;
  }
  engine_.send_file(id, std::move(file->bytes), res);
}

std::string ImagesFiles::keep(File file) {
  std::string id = engine_.next_id("file-");
  std::lock_guard lock(mutex_);
  files_[id] = std::move(file);
  return id;
}

std::optional<ImagesFiles::File> ImagesFiles::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  const auto found = files_.find(id);
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

}  // namespace zantrel::emulator
