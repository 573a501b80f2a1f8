#include "zantrel/host/conversation.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/codec/sha256.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/references.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

// Writes `bytes` to `path` through a file beside it, renamed into place once whole.
void write_whole(const fs::path& path, ByteView bytes) {
  const fs::path temp = path.parent_path() / ("." + path.filename().string() + ".part");
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw FileReadError("cannot write " + temp.string());
  }
  std::error_code error;
  fs::rename(temp, path, error);
  if (error) throw FileReadError("cannot write " + path.string() + ": " + error.message());
}

[[noreturn]] void refuse(const std::string& where, const std::string& what) {
  throw InvalidArgument("conversation " + where + ": " + what);
}

std::optional<std::string> text_member(const json& object, const char* key,
                                       const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return std::nullopt;
  if (!found->is_string()) refuse(where, std::string("\"") + key + "\" must be a string");
  return found->get<std::string>();
}

ConversationPart read_part(const json& part, const fs::path& base_dir, const std::string& where) {
  if (!part.is_object()) refuse(where, "a part must be an object");
  ConversationPart out;
  out.text = text_member(part, "text", where);
  out.thought_signature = text_member(part, "thoughtSignature", where);
  const auto image = part.find("image");
  if (image == part.end()) {
    if (!out.text) refuse(where, "a part holds a \"text\" or an \"image\"");
    return out;
  }
  if (!image->is_object()) refuse(where, "\"image\" must be an object");
  out.mime_type = text_member(*image, "mimeType", where).value_or("");
  const auto data = text_member(*image, "data", where);
  const auto file = text_member(*image, "file", where);
  Bytes bytes;
  if (data) {
    try {
      bytes = base64_decode(*data);
    } catch (const Base64Error&) {
      refuse(where, "\"data\" is not base64");
    }
  } else if (file) {
    const fs::path path = fs::path(*file).is_absolute() ? fs::path(*file) : base_dir / *file;
    try {
      bytes = read_file_bytes(path.string());
    } catch (const FileReadError& e) {
      refuse(where, e.what());
    }
    if (const auto sha = text_member(*image, "sha256", where); sha && *sha != sha256_hex(bytes)) {
      refuse(where, "the image file " + path.string() + " has changed since it was saved");
    }
  } else {
    refuse(where, "an \"image\" holds its \"data\" or names its \"file\"");
  }
  if (bytes.empty()) refuse(where, "an image is empty");
  if (out.mime_type.empty()) out.mime_type = std::string(sniff_image_mime(bytes).value_or(""));
  if (const auto uploaded = image->find("uploaded"); uploaded != image->end()) {
    if (!uploaded->is_object()) refuse(where, "\"uploaded\" must be an object");
    UploadedFile file;
    file.name = text_member(*uploaded, "name", where).value_or("");
    file.uri = text_member(*uploaded, "uri", where).value_or("");
    file.mime_type = out.mime_type;
    const auto expires =
        host::parse_rfc3339(text_member(*uploaded, "expirationTime", where).value_or(""));
    if (file.uri.empty() || !expires) {
      refuse(where, "\"uploaded\" names its \"uri\" and its \"expirationTime\"");
    }
    file.expires = *expires;
    out.file = std::move(file);
  }
  out.image = std::make_shared<const Bytes>(std::move(bytes));
  return out;
}

}  // namespace

std::shared_ptr<const Bytes> Conversation::last_model_image() const {
  for (auto turn = turns_.rbegin(); turn != turns_.rend(); ++turn) {
    if (turn->role != "model") continue;
    for (auto part = turn->parts.rbegin(); part != turn->parts.rend(); ++part) {
      if (part->image) return part->image;
    }
  }
  return nullptr;
}

std::shared_ptr<const Bytes> Conversation::shared_image(std::shared_ptr<const Bytes> image) const {
  for (const ConversationTurn& turn : turns_) {
    for (const ConversationPart& part : turn.parts) {
      if (part.image && part.image->size() == image->size() &&
          (part.image == image ||
           std::memcmp(part.image->data(), image->data(), image->size()) == 0)) {
        return part.image;
      }
    }
  }
  return image;
}

void Conversation::note_upload(const std::uint8_t* image, const UploadedFile& file) {
  for (ConversationTurn& turn : turns_) {
    if (turn.role != "user") continue;  // a model's images go back inline, as answered
    for (ConversationPart& part : turn.parts) {
      if (part.image && part.image->data() == image) part.file = file;
    }
  }
}

json Conversation::to_json(const std::optional<fs::path>& image_dir,
                           const fs::path& relative_to) const {
  if (image_dir) {
    std::error_code error;
    fs::create_directories(*image_dir, error);
    if (error) throw FileReadError("cannot make " + image_dir->string() + ": " + error.message());
  }
  json turns = json::array();
  for (const ConversationTurn& turn : turns_) {
    json parts = json::array();
    for (const ConversationPart& part : turn.parts) {
      json out = json::object();
      if (part.text) out["text"] = *part.text;
      if (part.image) {
        json image = {{"mimeType", part.mime_type}};
        if (image_dir) {
          // Named by its content: an image saved before (or sent in several turns) is one file.
          const std::string sha = sha256_hex(*part.image);
          const fs::path file = *image_dir / ("image-" + sha.substr(0, 32) + "." +
                                              std::string(image_extension(part.mime_type)));
          std::error_code error;
          if (fs::file_size(file, error) != part.image->size() || error) {
            write_whole(file, *part.image);
          }
          image["file"] =
              relative_to.empty() ? file.string() : file.lexically_relative(relative_to).string();
          image["sha256"] = sha;
        } else {
          image["data"] = base64_encode(*part.image);
        }
        if (part.file) {
          image["uploaded"] = {{"name", part.file->name},
                               {"uri", part.file->uri},
                               {"expirationTime", host::format_rfc3339(part.file->expires)}};
        }
        out["image"] = std::move(image);
      }
      if (part.thought_signature) out["thoughtSignature"] = *part.thought_signature;
      parts.push_back(std::move(out));
    }
    turns.push_back({{"role", turn.role}, {"parts", std::move(parts)}});
  }
  json document = {{"version", 1}, {"turns", std::move(turns)}};
  if (thread_) document["service_thread"] = {{"api", thread_->api}, {"id", thread_->id}};
  return document;
}

Conversation Conversation::from_json(const json& document, const fs::path& base_dir) {
  if (!document.is_object()) refuse("document", "must be a JSON object");
  if (document.value("version", 0) != 1) refuse("document", "\"version\" must be 1");
  const auto turns = document.find("turns");
  if (turns == document.end() || !turns->is_array()) refuse("document", "\"turns\" must be a list");
  Conversation conversation;
  for (std::size_t t = 0; t < turns->size(); ++t) {
    const json& turn = (*turns)[t];
    const std::string where = "turn " + std::to_string(t + 1);
    if (!turn.is_object()) refuse(where, "must be an object");
    ConversationTurn read;
    read.role = text_member(turn, "role", where).value_or("");
    const bool user = read.role == "user";
    if (!user && read.role != "model") refuse(where, "\"role\" must be \"user\" or \"model\"");
    if (user != (t % 2 == 0)) refuse(where, "turns alternate, the user's first");
    const auto parts = turn.find("parts");
    if (parts == turn.end() || !parts->is_array()) refuse(where, "\"parts\" must be a list");
    for (std::size_t p = 0; p < parts->size(); ++p) {
      ConversationPart part =
          read_part((*parts)[p], base_dir, where + ", part " + std::to_string(p + 1));
      // An image the document names in several turns is held once.
      if (part.image) part.image = conversation.shared_image(std::move(part.image));
      read.parts.push_back(std::move(part));
    }
    conversation.add(std::move(read));
  }
  if (const auto thread = document.find("service_thread"); thread != document.end()) {
    if (!thread->is_object()) refuse("document", "\"service_thread\" must be an object");
    conversation.set_service_thread(
        ServiceThread{text_member(*thread, "api", "service_thread").value_or(""),
                      text_member(*thread, "id", "service_thread").value_or("")});
    if (conversation.thread_->api.empty() || conversation.thread_->id.empty()) {
      refuse("service_thread", "needs \"api\" and \"id\"");
    }
  }
  return conversation;
}

}  // namespace zantrel::host
