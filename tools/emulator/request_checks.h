#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zantrel::emulator {

// What the emulator takes from a request it accepts; `error` names the fault of one it refuses.
struct CheckedRequest {
  std::string error;
  std::string prompt;
  int width = 1024;
  int height = 1024;
  std::string response_format = "b64_json";
  int images = 0;  // reference images sent
  // Gemini: the turns of a conversation before the request's own (its prompt and images), and
  // the files any turn names (fileData.fileUri).
  int earlier_turns = 0;
  std::vector<std::string> file_uris;
  // Gemini requests: the ratio and size asked (the size empty when none was sent), and
  // generationConfig.candidateCount (1 when absent).
  std::string aspect_ratio;
  std::string image_size;
  std::int64_t candidate_count = 1;
  // Images requests: images asked, the output format and compression, the background, whether
  // a mask was sent, and the text fields as sent, for the public endpoint's own checks.
  int n = 1;
  std::string output_format = "png";
  int output_compression = 100;
  std::string background;
  bool mask = false;
  // Streamed answers: "stream": true, and the partial images to send before the final one.
  bool stream = false;
  int partial_images = 0;
  std::map<std::string, std::string> fields;
};

// A generateContent body: its last turn a text part first, inline images with an image type and
// valid base64 or files with an image type and a link,
// "IMAGE" among the response modalities, a known aspect ratio and image size.
CheckedRequest check_gemini_request(const std::string& body);

// A generations body: JSON with "model", "prompt", n from 1 to 10, a size "WxH" on the 16-pixel
// grid (or "" or "auto"), a known quality, response format, output format, compression,
// background, moderation and input fidelity.
CheckedRequest check_generations_request(const std::string& body);

// An edits form (or the same edit as JSON: "images" as data URLs or file ids, "mask"): the same
// fields as text parts, and at least one "image" file part with a file
// name, an image content type and image bytes; at most one "mask" file part, a PNG.
CheckedRequest check_edits_request(const httplib::Request& req);

}  // namespace zantrel::emulator
