#include "tools/emulator/images/checks.h"

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

// Checks the images-API fields shared by generations and edits.
CheckedRequest check_image_values(const std::map<std::string, std::string>& fields) {
  const auto field = [&](const char* key) -> std::optional<std::string> {
    auto found = fields.find(key);
    if (found == fields.end()) return std::nullopt;
    return found->second;
  };
  CheckedRequest out;
  const auto model = field("model");
  if (!model || model->empty()) return refused_request("'model' is required");
  const auto prompt = field("prompt");
  if (!prompt || prompt->empty()) return refused_request("'prompt' is required");
  out.prompt = *prompt;
  if (const auto n = field("n")) {
    const auto count = parse_int(*n);
    if (!count || *count < 1 || *count > 10)
      return refused_request("'n' must be from 1 to 10, got " + *n);
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
      return refused_request("Invalid 'size': " + size +
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
    return refused_request("Invalid 'quality': " + quality);
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
    if (fault) return refused_request(*fault);
  }
  if (const auto compression = field("output_compression")) {
    const auto level = parse_int(*compression);
    if (!level || *level < 0 || *level > 100) {
      return refused_request("Invalid 'output_compression': " + *compression + " (0 to 100)");
    }
    out.output_compression = *level;
  }
  if (const auto stream = field("stream")) {
    if (*stream != "true" && *stream != "false")
      return refused_request("Invalid 'stream': " + *stream);
    out.stream = *stream == "true";
  }
  if (const auto partials = field("partial_images")) {
    const auto count = parse_int(*partials);
    if (!count || *count < 0 || *count > 3) {
      return refused_request("Invalid 'partial_images': " + *partials + " (0 to 3)");
    }
    out.partial_images = *count;
  }
  out.response_format = field("response_format").value_or("b64_json");
  if (out.response_format != "b64_json" && out.response_format != "url") {
    return refused_request("Invalid 'response_format': " + out.response_format);
  }
  return out;
}

CheckedRequest check_image_fields(std::map<std::string, std::string> fields) {
  CheckedRequest out = check_image_values(fields);
  out.fields = std::move(fields);
  return out;
}

}  // namespace

CheckedRequest check_generations_request(const std::string& body) {
  simdjson::dom::parser parser;
  simdjson::dom::object root;
  if (auto error = parser.parse(body).get(root); error) {
    return refused_request(std::string("We could not parse the JSON body of your request: ") +
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
  if (!root.is_object()) return refused_request("We could not parse the JSON body of your request");
  std::map<std::string, std::string> fields;
  for (const auto& [key, value] : root.items()) {
    if (key == "images" || key == "mask") continue;
    fields[key] = value.is_string() ? value.get<std::string>() : value.dump();
  }
  const auto images = root.find("images");
  if (images == root.end() || !images->is_array() || images->empty()) {
    return refused_request("'images' is required: a non-empty list of images");
  }
  for (std::size_t i = 0; i < images->size(); ++i) {
    if (auto why = json_image_refusal((*images)[i], "images[" + std::to_string(i) + "]", false)) {
      return refused_request(*why);
    }
  }
  const bool mask = root.contains("mask");
  if (mask) {
    if (auto why = json_image_refusal(root["mask"], "mask", true)) return refused_request(*why);
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
  if (!req.is_multipart_form_data()) return refused_request("Expected a multipart/form-data body");
  std::map<std::string, std::string> fields;
  std::size_t images = 0;
  bool mask = false;
  for (const auto& [name, part] : req.files) {
    if (part.filename.empty()) {
      fields[name] = part.content;
      continue;
    }
    if (name == "mask") {
      if (mask) return refused_request("Only one 'mask' file part may be sent");
      if (host::sniff_image_mime(host::as_bytes(part.content)) != "image/png") {
        return refused_request("'mask' ('" + part.filename + "') must be a PNG image");
      }
      mask = true;
      continue;
    }
    if (name != "image" && name != "image[]")
      return refused_request("Unexpected file part '" + name + "'");
    ++images;
    const std::string which = "image " + std::to_string(images);
    const auto sniffed = host::sniff_image_mime(host::as_bytes(part.content));
    if (!part.content_type.starts_with("image/")) {
      return refused_request(which + " ('" + part.filename + "') has the content type '" +
                             part.content_type + "'; expected an image type");
    }
    if (!sniffed)
      return refused_request(which + " ('" + part.filename +
                             "') is not a PNG, JPEG, GIF or WebP image");
  }
  if (images == 0)
    return refused_request("'image' is required: at least one file part named image");
  CheckedRequest out = check_image_fields(fields);
  out.images = static_cast<int>(images);
  out.mask = mask;
  return out;
}

}  // namespace zantrel::emulator
