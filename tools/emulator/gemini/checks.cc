#include "tools/emulator/gemini/checks.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "zantrel/host/codec/base64.h"
#include "zantrel/host/config.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::emulator {

CheckedRequest check_gemini_request(const std::string& body) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (auto error = parser.parse(body).get(root); error) {
    return refused_request(std::string("Invalid JSON payload received: ") +
                           simdjson::error_message(error));
  }
  simdjson::dom::array contents;
  if (root["contents"].get_array().get(contents) || contents.size() == 0) {
    return refused_request("'contents' must be a non-empty array");
  }
  // The request's own turn is the last; a conversation's turns come before it.
  const std::size_t last = contents.size() - 1;
  const std::string turn = "contents[" + std::to_string(last) + "]";
  simdjson::dom::array parts;
  if (contents.at(last)["parts"].get_array().get(parts) || parts.size() == 0) {
    return refused_request(turn + ".parts must be a non-empty array");
  }
  CheckedRequest out;
  out.earlier_turns = static_cast<int>(last);
  std::string_view prompt;
  if (parts.at(0)["text"].get_string().get(prompt))
    return refused_request(turn + ".parts[0] must be a text part");
  out.prompt = std::string(prompt);
  std::size_t index = 0;
  // Files named in any turn, for the file store to check.
  for (simdjson::dom::element content : contents) {
    simdjson::dom::array turn_parts;
    if (content["parts"].get_array().get(turn_parts)) continue;
    for (simdjson::dom::element part : turn_parts) {
      std::string_view uri;
      if (!part["fileData"]["fileUri"].get_string().get(uri)) out.file_uris.emplace_back(uri);
    }
  }
  for (simdjson::dom::element part : parts) {
    if (index++ == 0) continue;
    ++out.images;
    const std::string where = turn + ".parts[" + std::to_string(index - 1) + "]";
    std::string_view mime, data;
    if (auto file = part["fileData"]; !file.error()) {
      if (file["mimeType"].get_string().get(mime) || !mime.starts_with("image/")) {
        return refused_request(where + ".fileData.mimeType must be an image type");
      }
      if (file["fileUri"].get_string().get(data) || data.empty()) {
        return refused_request(where + ".fileData.fileUri must name a file");
      }
      continue;
    }
    if (part["inlineData"]["mimeType"].get_string().get(mime) || !mime.starts_with("image/")) {
      return refused_request(where + ".inlineData.mimeType must be an image type");
    }
    if (part["inlineData"]["data"].get_string().get(data) || data.empty()) {
      return refused_request(where + ".inlineData.data must be non-empty base64");
    }
    try {
      (void)host::base64_decode(data);
    } catch (const host::Base64Error&) {
      return refused_request(where + ".inlineData.data is not valid base64");
    }
  }
  simdjson::dom::array modalities;
  bool image = false;
  if (!root["generationConfig"]["responseModalities"].get_array().get(modalities)) {
    for (simdjson::dom::element m : modalities)
      image = image || m.get_string().value_unsafe() == "IMAGE";
  }
  if (!image) return refused_request("generationConfig.responseModalities must include IMAGE");
  std::string_view ratio = "1:1", size = "1K";
  auto config = root["generationConfig"]["imageConfig"];
  if (auto r = config["aspectRatio"]; !r.error() && r.get_string().get(ratio)) {
    return refused_request("imageConfig.aspectRatio must be a string");
  }
  bool size_sent = false;
  if (auto s = config["imageSize"]; !s.error()) {
    if (s.get_string().get(size)) return refused_request("imageConfig.imageSize must be a string");
    size_sent = true;
  }
  std::int64_t candidates = 1;
  if (auto c = root["generationConfig"]["candidateCount"];
      !c.error() && c.get_int64().get(candidates)) {
    return refused_request("generationConfig.candidateCount must be an integer");
  }
  if (!config::is_supported_ratio(ratio))
    return refused_request("Unsupported aspect ratio: " + std::string(ratio));
  const int long_edge = size == "512"  ? 512
                        : size == "1K" ? 1024
                        : size == "2K" ? 2048
                        : size == "4K" ? 4096
                                       : 0;
  if (long_edge == 0)
    return refused_request("Unsupported image size: " + std::string(size) + " (512, 1K, 2K or 4K)");
  const auto colon = ratio.find(':');
  const double a = *parse_int(ratio.substr(0, colon)), b = *parse_int(ratio.substr(colon + 1));
  out.aspect_ratio = std::string(ratio);
  if (size_sent) out.image_size = std::string(size);
  out.candidate_count = candidates;
  out.width = a >= b ? long_edge : static_cast<int>(std::lround(long_edge * a / b));
  out.height = a >= b ? static_cast<int>(std::lround(long_edge * b / a)) : long_edge;
  return out;
}

}  // namespace zantrel::emulator
