#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/bytes.h"

namespace zantrel::host {

// One part of a conversation's turn, kept as the service needs it back.
struct ConversationPart {
  std::optional<std::string> text;
  // An image sent or answered, held once however often the conversation is copied.
  std::shared_ptr<const Bytes> image;
  std::string mime_type;  // of the image
  // The service's signature of the part (Gemini 3 models sign their image parts and the first
  // text part after their thoughts): sent back in the same part, unchanged.
  std::optional<std::string> thought_signature;
};

struct ConversationTurn {
  std::string role;  // "user" or "model"
  std::vector<ConversationPart> parts;
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

  // The conversation as a JSON document: {"version": 1, "turns": [{"role", "parts": [{"text"},
  // {"image": {"mimeType", "data" | "file", "sha256"}}, ...]}]}, each part's "thoughtSignature"
  // beside. With `image_dir` (made when missing), every image is written there (turn-K-part-M.EXT,
  // atomically)
  // and named by its path relative to `relative_to` (the document's own folder), so a saved
  // conversation stays small; else it is inline base64. Throws FileReadError when a file can't
  // be written.
  nlohmann::ordered_json to_json(const std::optional<std::filesystem::path>& image_dir = {},
                                 const std::filesystem::path& relative_to = {}) const;
  // Reads such a document; image files are found relative to `base_dir`. Throws
  // InvalidArgument naming what is wrong (a member of the wrong type, an image file that is gone
  // or no longer matches its sha256).
  static Conversation from_json(const nlohmann::ordered_json& document,
                                const std::filesystem::path& base_dir = {});

 private:
  std::vector<ConversationTurn> turns_;
};

}  // namespace zantrel::host
