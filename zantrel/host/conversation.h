#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"

namespace zantrel::host {

// An image held in the service's file store (Gemini's Files API): named in a request by its link
// instead of sent inline, until it expires (48 hours after the upload).
struct UploadedFile {
  std::string name;  // "files/abc-123"
  std::string uri;   // what a request's part names
  std::string mime_type;
  std::chrono::system_clock::time_point expires;
};

// One part of a conversation's turn, kept as the service needs it back.
struct ConversationPart {
  std::optional<std::string> text;
  // An image sent or answered, held once however often the conversation is copied.
  std::shared_ptr<const Bytes> image;
  std::string mime_type;  // of the image
  // The service's signature of the part (Gemini 3 models sign their image parts and the first
  // text part after their thoughts): sent back in the same part, unchanged.
  std::optional<std::string> thought_signature;
  // Where the service keeps the image, when it was uploaded (a user's reference, with
  // `upload_references`).
  std::optional<UploadedFile> file;
};

struct ConversationTurn {
  std::string role;  // "user" or "model"
  std::vector<ConversationPart> parts;
};

// A conversation the service keeps itself (Gemini's Interactions API, the Responses API): the
// API ("interactions", "responses") and the id of its last answer, which the next turn names
// instead of sending the turns again.
struct ServiceThread {
  std::string api;
  std::string id;
};

// The turns of a multi-turn edit so far: the user's parts as sent, the model's as answered
// (thought parts dropped: they carry nothing the next request needs). A client's
// `continue_with` sends every turn and, when the call ends well, adds its two.
class Conversation {
 public:
  const std::vector<ConversationTurn>& turns() const noexcept { return turns_; }
  bool empty() const noexcept { return turns_.empty(); }
  // Exchanges so far (a user turn and the model's answer each).
  std::size_t exchanges() const noexcept { return turns_.size() / 2; }
  void add(ConversationTurn turn) { turns_.push_back(std::move(turn)); }
  // The last image the model answered, if any (what an images API continuation edits).
  std::shared_ptr<const Bytes> last_model_image() const;
  // The conversation's own copy of an image equal to `image`, else `image` itself: a reference
  // sent again in a later turn is held once.
  std::shared_ptr<const Bytes> shared_image(std::shared_ptr<const Bytes> image) const;
  // Notes that the image whose bytes start at `image` (a user part's) is now kept as `file`:
  // every user part holding it names the file from now on.
  void note_upload(const std::uint8_t* image, const UploadedFile& file);
  // Where the service keeps the conversation, when its last turn went by such an API.
  const std::optional<ServiceThread>& service_thread() const noexcept { return thread_; }
  void set_service_thread(std::optional<ServiceThread> thread) { thread_ = std::move(thread); }

  // The conversation as a JSON document: {"version": 1, "turns": [{"role", "parts": [{"text"},
  // {"image": {"mimeType", "data" | "file", "sha256", "uploaded"}}, ...]}]}, each part's
  // "thoughtSignature" beside, "uploaded" naming the service's copy ({"name", "uri",
  // "expirationTime"}), and {"service_thread": {"api", "id"}} when the service keeps it. With
  // `image_dir` (made when missing), every image is written there once,
  // as image-SHA.EXT (atomically; a file already there under its name is kept), and named by its
  // path relative to `relative_to` (the document's own folder), so a saved conversation stays
  // small and saving it again writes only its new images; else it is inline base64. Throws
  // FileReadError when a file can't be written.
  nlohmann::ordered_json to_json(const std::optional<std::filesystem::path>& image_dir = {},
                                 const std::filesystem::path& relative_to = {}) const;
  // Reads such a document; image files are found relative to `base_dir`. Throws
  // InvalidArgument naming what is wrong (a member of the wrong type, an image file that is gone
  // or no longer matches its sha256).
  static Conversation from_json(const nlohmann::ordered_json& document,
                                const std::filesystem::path& base_dir = {});

 private:
  std::vector<ConversationTurn> turns_;
  std::optional<ServiceThread> thread_;
};

}  // namespace zantrel::host
