#pragma once

#include <httplib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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

// A refusal with its text; a whole number, nothing for any other text.
CheckedRequest refused_request(std::string error);
std::optional<int> parse_int(std::string_view text);

}  // namespace zantrel::emulator
