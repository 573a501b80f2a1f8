#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "zantrel/host/references.h"

namespace zantrel::image::corvane {

// Defaults of a call's options and of the client's options.
inline constexpr char kDefaultModel[] = "gpt-image-2";
inline constexpr char kDefaultResponseFormat[] = "b64_json";
inline constexpr char kDefaultModelTag[] = "GPT-IMAGE-2";
// The model that calls the image tool when a request goes over the Responses API (the one the
// service's image tool guide names); the image itself is made by the request's `model`.
inline constexpr char kDefaultResponsesModel[] = "gpt-5";
// Images one request may ask for at most.
inline constexpr int kMaxImages = 10;
// Partial images a streamed request may ask for at most.
inline constexpr int kMaxPartialImages = 3;

// Everything one images call can ask, by name:
//   client.start({.prompt = "a fox", .aspect_ratio = "16:9", .n = 3, .output_format = "webp"});
// The positional `start` builds one of these. What the model does not take (the model
// catalogue's `parameters`) is refused before anything is sent.
struct ImageRequest {
  std::string prompt;
  // "W:H", "WxH" or "auto"; empty: the model's own default size.
  std::string aspect_ratio{};
  // "low", "medium", "high" or "auto" ("xhigh" and "max" on the 2.5 and 2.6 models); empty: the
  // model's default.
  std::string quality{};
  std::string image_size{};  // the size class of the size calculator ("1k", "2k", "4k")
  // Reference images: one or more make the call an edit.
  host::Files files{};
  std::string model = kDefaultModel;
  // Gateways only: "b64_json" or "url" (the public endpoint always answers base64).
  std::optional<std::string> response_format{};
  // Images from the one request, 1 to kMaxImages: the result holds the first, `images()` all.
  int n = 1;
  // "png", "jpeg" or "webp" ("gif" and "svg" on the 2.6 models).
  std::optional<std::string> output_format{};
  std::optional<int> output_compression{};  // 0 to 100, for jpeg and webp
  std::optional<std::string> background{};  // "transparent" (png, webp), "opaque", "auto"
  std::optional<std::string> moderation{};  // "low" or "auto"
  // The 2.6 models: how much the model plans the image before it renders it, "low", "medium"
  // or "high".
  std::optional<std::string> complexity{};
  std::optional<std::string> input_fidelity{};  // edits: "low" or "high"
  // Edits: a PNG of the first reference's size whose transparent pixels mark what to change.
  host::Files mask{};
  std::optional<std::string> user{};  // the end user's id, for the service's abuse checks
  // A stable id of the end user (hashed by the host) for the service's safety checks; the
  // service's successor of `user`.
  std::optional<std::string> safety_identifier{};
  // A streamed call (CallOptions::stream): the partial images to show on the way, 0 to 3.
  std::optional<int> partial_images{};
  // Members released after this version, merged into the body last. Its keys may not be ones
  // the client writes.
  nlohmann::ordered_json extra = nlohmann::ordered_json::object();
  // Over the Responses API (CallOptions::api, background calls): the model that calls the
  // image_generation tool, which makes the image with `model`.
  std::string responses_model = kDefaultResponsesModel;
};

}  // namespace zantrel::image::corvane
