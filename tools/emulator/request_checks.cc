#include "tools/emulator/request_checks.h"

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
namespace {

CheckedRequest refuse(std::string error) {
  CheckedRequest out;
  out.error = std::move(error);
  return out;
}

std::optional<int> parse_int(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Checks the images-API fields shared by generations and edits.
CheckedRequest check_image_values(const std::map<std::string, std::string>& fields) {
  const auto field = [&](const char* key) -> std::optional<std::string> {
    auto found = fields.find(key);
    if (found == fields.end()) return std::nullopt;
    return found->second;
  };
  CheckedRequest out;
  const auto model = field("model");
  if (!model || model->empty()) return refuse("'model' is required");
  const auto prompt = field("prompt");
  if (!prompt || prompt->empty()) return refuse("'prompt' is required");
  out.prompt = *prompt;
  if (const auto n = field("n")) {
    const auto count = parse_int(*n);
    if (!count || *count < 1 || *count > 10) return refuse("'n' must be from 1 to 10, got " + *n);
    out.n = *count;
  }
  const std::string size = field("size").value_or("");
  if (!size.empty() && size != "auto") {
    const auto x = size.find('x');
    const auto w =
        x == std::string::npos ? std::nullopt : parse_int(std::string_view(size).substr(0, x));
    const auto h =
        x == std::string::npos ? std::nullopt : parse_int(std::string_view(size).substr(x + 1));
    if (!w || !h || *w <= 0 || *h <= 0 || *w % 16 != 0 || *h % 16 != 0 || std::max(*w, *h) > 3840) {
      return refuse("Invalid 'size': " + size +
                    " (want WIDTHxHEIGHT, multiples of 16, at most 3840)");
    }
    out.width = *w;
    out.height = *h;
  }
  const std::string quality = field("quality").value_or("");
  // Every value some model takes; the public endpoint's own checks hold each model to its own.
  static constexpr std::array<std::string_view, 7> kQualities = {"",     "low",   "medium", "high",
                                                                 "auto", "xhigh", "max"};
  if (std::find(kQualities.begin(), kQualities.end(), quality) == kQualities.end()) {
    return refuse("Invalid 'quality': " + quality);
  }
  const auto one_of = [&](const char* key, std::initializer_list<std::string_view> values,
                          std::string& into) -> std::optional<std::string> {
    const auto value = field(key);
    if (!value) return std::nullopt;
    if (std::find(values.begin(), values.end(), *value) == values.end()) {
      return "Invalid '" + std::string(key) + "': " + *value;
    }
    into = *value;
    return std::nullopt;
  };
  std::string unused;
  for (auto fault :
       {one_of("output_format", {"png", "jpeg", "webp", "gif", "svg"}, out.output_format),
        one_of("complexity", {"low", "medium", "high"}, unused),
        one_of("background", {"transparent", "opaque", "auto"}, out.background),
        one_of("moderation", {"low", "auto"}, unused),
        one_of("input_fidelity", {"low", "high"}, unused)}) {
    if (fault) return refuse(*fault);
  }
  if (const auto compression = field("output_compression")) {
    const auto level = parse_int(*compression);
    if (!level || *level < 0 || *level > 100) {
      return refuse("Invalid 'output_compression': " + *compression + " (0 to 100)");
    }
    out.output_compression = *level;
  }
  if (const auto stream = field("stream")) {
    if (*stream != "true" && *stream != "false") return refuse("Invalid 'stream': " + *stream);
    out.stream = *stream == "true";
  }
  if (const auto partials = field("partial_images")) {
    const auto count = parse_int(*partials);
    if (!count || *count < 0 || *count > 3) {
      return refuse("Invalid 'partial_images': " + *partials + " (0 to 3)");
    }
    out.partial_images = *count;
  }
  out.response_format = field("response_format").value_or("b64_json");
  if (out.response_format != "b64_json" && out.response_format != "url") {
    return refuse("Invalid 'response_format': " + out.response_format);
  }
  return out;
}

CheckedRequest check_image_fields(std::map<std::string, std::string> fields) {
  CheckedRequest out = check_image_values(fields);
  out.fields = std::move(fields);
  return out;
}

}  // namespace

CheckedRequest check_gemini_request(const std::string& body) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (auto error = parser.parse(body).get(root); error) {
    return refuse(std::string("Invalid JSON payload received: ") + simdjson::error_message(error));
  }
  simdjson::dom::array contents;
  if (root["contents"].get_array().get(contents) || contents.size() == 0) {
    return refuse("'contents' must be a non-empty array");
  }
  // The request's own turn is the last; a conversation's turns come before it.
  const std::size_t last = contents.size() - 1;
  const std::string turn = "contents[" + std::to_string(last) + "]";
  simdjson::dom::array parts;
  if (contents.at(last)["parts"].get_array().get(parts) || parts.size() == 0) {
    return refuse(turn + ".parts must be a non-empty array");
  }
  CheckedRequest out;
  out.earlier_turns = static_cast<int>(last);
  std::string_view prompt;
  if (parts.at(0)["text"].get_string().get(prompt))
    return refuse(turn + ".parts[0] must be a text part");
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
        return refuse(where + ".fileData.mimeType must be an image type");
      }
      if (file["fileUri"].get_string().get(data) || data.empty()) {
        return refuse(where + ".fileData.fileUri must name a file");
      }
      continue;
    }
    if (part["inlineData"]["mimeType"].get_string().get(mime) || !mime.starts_with("image/")) {
      return refuse(where + ".inlineData.mimeType must be an image type");
    }
    if (part["inlineData"]["data"].get_string().get(data) || data.empty()) {
      return refuse(where + ".inlineData.data must be non-empty base64");
    }
    try {
      (void)host::base64_decode(data);
    } catch (const host::Base64Error&) {
      return refuse(where + ".inlineData.data is not valid base64");
    }
  }
  simdjson::dom::array modalities;
  bool image = false;
  if (!root["generationConfig"]["responseModalities"].get_array().get(modalities)) {
    for (simdjson::dom::element m : modalities)
      image = image || m.get_string().value_unsafe() == "IMAGE";
  }
  if (!image) return refuse("generationConfig.responseModalities must include IMAGE");
  std::string_view ratio = "1:1", size = "1K";
  auto config = root["generationConfig"]["imageConfig"];
  if (auto r = config["aspectRatio"]; !r.error() && r.get_string().get(ratio)) {
    return refuse("imageConfig.aspectRatio must be a string");
  }
  bool size_sent = false;
  if (auto s = config["imageSize"]; !s.error()) {
    if (s.get_string().get(size)) return refuse("imageConfig.imageSize must be a string");
    size_sent = true;
  }
  std::int64_t candidates = 1;
  if (auto c = root["generationConfig"]["candidateCount"];
      !c.error() && c.get_int64().get(candidates)) {
    return refuse("generationConfig.candidateCount must be an integer");
  }
  if (!config::is_supported_ratio(ratio))
    return refuse("Unsupported aspect ratio: " + std::string(ratio));
  const int long_edge = size == "512"  ? 512
                        : size == "1K" ? 1024
                        : size == "2K" ? 2048
                        : size == "4K" ? 4096
                                       : 0;
  if (long_edge == 0)
    return refuse("Unsupported image size: " + std::string(size) + " (512, 1K, 2K or 4K)");
  const auto colon = ratio.find(':');
  const double a = *parse_int(ratio.substr(0, colon)), b = *parse_int(ratio.substr(colon + 1));
  out.aspect_ratio = std::string(ratio);
  if (size_sent) out.image_size = std::string(size);
  out.candidate_count = candidates;
  out.width = a >= b ? long_edge : static_cast<int>(std::lround(long_edge * a / b));
  out.height = a >= b ? static_cast<int>(std::lround(long_edge * b / a)) : long_edge;
  return out;
}

CheckedRequest check_generations_request(const std::string& body) {
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (auto error = parser.parse(body).get(root); error) {
    return refuse(std::string("We could not parse the JSON body of your request: ") +
                  simdjson::error_message(error));
  }
  std::map<std::string, std::string> fields;
  for (auto [key, value] : root) {
    std::string text;
    std::string_view string;
    if (!value.get(string)) {
      text = std::string(string);
    } else {
      text = simdjson::minify(value);
    }
    fields[std::string(key)] = text;
  }
  return check_image_fields(fields);
}

namespace {

// The image of a JSON edit's {"image_url": data URL} (or {"file_id"}, taken as an image), or why
// it is not one.
std::optional<std::string> json_image_refusal(const nlohmann::json& part, const std::string& which,
                                              bool png_only) {
  if (!part.is_object()) return which + " must be an object";
  if (part.contains("file_id") && part["file_id"].is_string()) return std::nullopt;
  if (!part.contains("image_url") || !part["image_url"].is_string()) {
    return which + " needs an image_url or a file_id";
  }
  const std::string url = part["image_url"];
  const auto comma = url.find(";base64,");
  if (!url.starts_with("data:image/") || comma == std::string::npos) {
    return which + ".image_url must be a base64 data URL of an image";
  }
  host::Bytes bytes;
  try {
    bytes = host::base64_decode(std::string_view(url).substr(comma + 8));
  } catch (const host::Base64Error&) {
    return which + ".image_url is not valid base64";
  }
  const auto sniffed = host::sniff_image_mime(bytes);
  if (!sniffed) return which + " is not a PNG, JPEG, GIF or WebP image";
  if (png_only && sniffed != "image/png") return which + " must be a PNG image";
  return std::nullopt;
}

// An edit in the endpoint's JSON form: its members, "images" and an optional "mask".
CheckedRequest check_json_edits(const std::string& body) {
  const auto root = nlohmann::json::parse(body, nullptr, false);
  if (!root.is_object()) return refuse("We could not parse the JSON body of your request");
  std::map<std::string, std::string> fields;
  for (const auto& [key, value] : root.items()) {
    if (key == "images" || key == "mask") continue;
    fields[key] = value.is_string() ? value.get<std::string>() : value.dump();
  }
  const auto images = root.find("images");
  if (images == root.end() || !images->is_array() || images->empty()) {
    return refuse("'images' is required: a non-empty list of images");
  }
  for (std::size_t i = 0; i < images->size(); ++i) {
    if (auto why = json_image_refusal((*images)[i], "images[" + std::to_string(i) + "]", false)) {
      return refuse(*why);
    }
  }
  const bool mask = root.contains("mask");
  if (mask) {
    if (auto why = json_image_refusal(root["mask"], "mask", true)) return refuse(*why);
  }
  CheckedRequest out = check_image_fields(fields);
  out.images = static_cast<int>(images->size());
  out.mask = mask;
  return out;
}

}  // namespace

CheckedRequest check_edits_request(const httplib::Request& req) {
  if (req.get_header_value("Content-Type").starts_with("application/json")) {
    return check_json_edits(req.body);
  }
  if (!req.is_multipart_form_data()) return refuse("Expected a multipart/form-data body");
  std::map<std::string, std::string> fields;
  std::size_t images = 0;
  bool mask = false;
  for (const auto& [name, part] : req.files) {
    if (part.filename.empty()) {
      fields[name] = part.content;
      continue;
    }
    if (name == "mask") {
      if (mask) return refuse("Only one 'mask' file part may be sent");
      if (host::sniff_image_mime(host::as_bytes(part.content)) != "image/png") {
        return refuse("'mask' ('" + part.filename + "') must be a PNG image");
      }
      mask = true;
      continue;
    }
    if (name != "image" && name != "image[]") return refuse("Unexpected file part '" + name + "'");
    ++images;
    const std::string which = "image " + std::to_string(images);
    const auto sniffed = host::sniff_image_mime(host::as_bytes(part.content));
    if (!part.content_type.starts_with("image/")) {
      return refuse(which + " ('" + part.filename + "') has the content type '" +
                    part.content_type + "'; expected an image type");
    }
    if (!sniffed)
      return refuse(which + " ('" + part.filename + "') is not a PNG, JPEG, GIF or WebP image");
  }
  if (images == 0) return refuse("'image' is required: at least one file part named image");
  CheckedRequest out = check_image_fields(fields);
  out.images = static_cast<int>(images);
  out.mask = mask;
  return out;
}

}  // namespace zantrel::emulator
