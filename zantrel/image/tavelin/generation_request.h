#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/config.h"
#include "zantrel/host/references.h"

namespace zantrel::image::tavelin {

// Defaults of a call's parameters and of the client's options.
inline constexpr char kDefaultModel[] = "gemini-3-pro-image-preview";
inline constexpr char kDefaultAspectRatio[] = "2:3";
inline constexpr char kDefaultImageSize[] = "1K";
inline constexpr char kDefaultModelTag[] = "TAVELIN";

// One safety rule: block a harm category ("HARM_CATEGORY_HARASSMENT", ...) from a threshold on
// ("BLOCK_NONE", "BLOCK_ONLY_HIGH", "BLOCK_MEDIUM_AND_ABOVE", "BLOCK_LOW_AND_ABOVE", "OFF").
struct SafetySetting {
  std::string category;
  std::string threshold;
};

// Everything one generation can ask, by name:
//   client.start({.prompt = "a fox", .aspect_ratio = "4:1", .model = "gemini-3.1-flash-image",
//                 .seed = 7});
// The positional `start` builds one of these. What the model does not take (the model
// catalogue's `parameters`) is refused before anything is sent.
struct GenerationRequest {
  std::string prompt;
  config::AspectRatio aspect_ratio = kDefaultAspectRatio;
  std::string image_size = kDefaultImageSize;
  host::Files files{};
  config::GeminiModel model = kDefaultModel;
  std::optional<std::int64_t> seed{};
  std::optional<double> temperature{};  // 0 to 2
  std::vector<SafetySetting> safety_settings{};
  std::optional<std::string> thinking_level{};  // "minimal" or "high"
  // TEXT and IMAGE: the model may answer with text beside the image (CallReport::text).
  bool with_text = false;
  // Reference images go to the service's file store (the Files API, kept 48 hours) and the
  // request names them instead of carrying their bytes: references sent again in every turn of
  // a conversation are uploaded once, and a request may pass the 100 MB inline limit.
  bool upload_references = false;
  // Members released after this version, merged into the body last. Its keys may not be ones
  // the client writes.
  nlohmann::ordered_json extra = nlohmann::ordered_json::object();
};

}  // namespace zantrel::image::tavelin
