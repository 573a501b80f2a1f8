#include "tools/cli/batch/job.h"

#include <unistd.h>

#include <array>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/cli/output/image_output.h"
#include "zantrel/host/base/dialect.h"
#include "zantrel/host/image_tool.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::json;

constexpr std::array<std::string_view, 13> kMembers = {
    "service", "prompt", "aspect_ratio", "image_size", "model",   "quality", "refs",
    "n",       "name",   "task_id",      "model_key",  "dialect", "stream"};
// The services' own members, as the library names them.
constexpr std::array<std::string_view, 5> kGeminiMembers = {"seed", "temperature", "safety",
                                                            "thinking_level", "text"};
constexpr std::array<std::string_view, 9> kImagesMembers = {
    "quality", "output_format", "output_compression", "background", "moderation", "input_fidelity",
    "mask",    "user",          "partial_images"};

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}
// Images per item at most: a typo of "n" should not start thousands of calls.
constexpr int kMaxImagesPerItem = 16;

// A stem that stays inside the output folder and prints as one line.
bool usable_name(const std::string& name) {
  return !name.empty() && name.size() <= 200 && name.front() != '.' &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string::npos &&
         std::none_of(name.begin(), name.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// What a line asks, in one canonical text (members sorted), without what names its files.
std::string request_digest(json job) {
  job.erase("name");
  job.erase("n");
  const std::string text = job.dump();
  return sha256_hex(host::as_bytes(text));
}

// The members that are not text: "seed", "temperature", "text", "safety" (an object of
// category: threshold), "output_compression", "stream", "partial_images" and "extra" (an
// object).
std::optional<std::string> read_service_members(const json& job, GenerateOptions& call) {
  const auto found = [&](const char* key) -> const json* {
    const auto at = job.find(key);
    return at == job.end() || at->is_null() ? nullptr : &*at;
  };
  if (const json* seed = found("seed")) {
    if (!seed->is_number_integer()) return std::string("\"seed\" must be a whole number");
    call.seed = seed->get<std::int64_t>();
  }
  if (const json* temperature = found("temperature")) {
    if (!temperature->is_number()) return std::string("\"temperature\" must be a number");
    call.temperature = temperature->get<double>();
  }
  if (const json* text = found("text")) {
    if (!text->is_boolean()) return std::string("\"text\" must be true or false");
    call.text = text->get<bool>();
  }
  if (const json* safety = found("safety")) {
    if (!safety->is_object())
      return std::string("\"safety\" must be an object of category: threshold");
    for (const auto& [category, threshold] : safety->items()) {
      if (!threshold.is_string()) return std::string("\"safety\" thresholds must be strings");
      call.safety.push_back(category + "=" + threshold.get<std::string>());
    }
  }
  if (const json* compression = found("output_compression")) {
    if (!compression->is_number_integer()) {
      return std::string("\"output_compression\" must be a whole number");
    }
    call.output_compression = compression->get<int>();
  }
  if (const json* stream = found("stream")) {
    if (!stream->is_boolean()) return std::string("\"stream\" must be true or false");
    call.stream = stream->get<bool>();
  }
  if (const json* partials = found("partial_images")) {
    if (!partials->is_number_integer()) {
      return std::string("\"partial_images\" must be a whole number");
    }
    call.partial_images = partials->get<int>();
  }
  if (const json* extra = found("extra")) {
    if (!extra->is_object()) return std::string("\"extra\" must be an object");
    call.extra = extra->dump();
  }
  return std::nullopt;
}

}  // namespace

std::string image_stem(const BatchItem& item, int index) {
  return item.count > 1 ? item.name + "-" + std::to_string(index) : item.name;
}

std::string image_key(const std::string& name, int index) {
  return name + "#" + std::to_string(index);
}

std::variant<BatchItem, std::string> read_batch_line(const std::string& text, int line) {
  const std::string where = "line " + std::to_string(line) + ": ";
  json job = json::parse(text, nullptr, false);
  if (job.is_discarded() || !job.is_object()) return where + "not a JSON object";
  // "background": true asks for the call as a job the service holds, on either service; a text
  // there is the images API's own member (the image's background). The same image either way,
  // so the flag is no part of the request's digest.
  bool as_job = false;
  if (const auto flag = job.find("background"); flag != job.end() && flag->is_boolean()) {
    as_job = flag->get<bool>();
    job.erase(flag);
  }
  for (const auto& [key, value] : job.items()) {
    if (!listed(kMembers, key) && !listed(kGeminiMembers, key) && !listed(kImagesMembers, key) &&
        key != "extra") {
      return where + "unknown member \"" + key + "\"";
    }
  }
  const auto text_of =
      [&](const char* key) -> std::variant<std::optional<std::string>, std::string> {
    const auto found = job.find(key);
    if (found == job.end() || found->is_null()) return std::optional<std::string>();
    if (!found->is_string()) return where + "\"" + key + "\" must be a string";
    return std::optional<std::string>(found->get<std::string>());
  };
  BatchItem item;
  item.line = line;
  GenerateOptions& call = item.call;
  call.job = as_job;
  for (const auto& [key, target] :
       {std::pair<const char*, std::optional<std::string>*>{"aspect_ratio", &call.aspect_ratio},
        {"image_size", &call.image_size},
        {"model", &call.model},
        {"quality", &call.quality},
        {"task_id", &call.task_id},
        {"model_key", &call.model_key},
        {"thinking_level", &call.thinking_level},
        {"output_format", &call.output_format},
        {"background", &call.background},
        {"moderation", &call.moderation},
        {"input_fidelity", &call.input_fidelity},
        {"mask", &call.mask},
        {"user", &call.user}}) {
    auto value = text_of(key);
    if (auto* refusal = std::get_if<std::string>(&value)) return *refusal;
    *target = std::get<std::optional<std::string>>(value);
  }
  auto service = text_of("service");
  if (auto* refusal = std::get_if<std::string>(&service)) return *refusal;
  const auto named =
      host::parse_service(std::get<std::optional<std::string>>(service).value_or(""));
  if (!named) return where + "\"service\" must be \"gemini\" or \"images\"";
  call.service = *named;
  for (const auto& [key, value] : job.items()) {
    if (call.service == host::Service::kGemini && listed(kImagesMembers, key)) {
      return where + "\"" + key + "\" is for images only";
    }
    if (call.service == host::Service::kImages && listed(kGeminiMembers, key)) {
      return where + "\"" + key + "\" is for gemini only";
    }
  }
  if (auto fault = read_service_members(job, call)) return where + *fault;
  auto prompt = text_of("prompt");
  if (auto* refusal = std::get_if<std::string>(&prompt)) return *refusal;
  call.prompt = std::get<std::optional<std::string>>(prompt).value_or("");
  if (call.prompt.empty()) return where + "no \"prompt\"";
  auto dialect = text_of("dialect");
  if (auto* refusal = std::get_if<std::string>(&dialect)) return *refusal;
  call.dialect = std::get<std::optional<std::string>>(dialect).value_or("auto");
  if (call.dialect != "auto" && !host::parse_dialect(call.dialect)) {
    return where + "\"dialect\" must be \"auto\", \"gateway\" or \"direct\"";
  }
  if (const auto n = job.find("n"); n != job.end()) {
    if (!n->is_number_integer() || n->get<long long>() < 1 ||
        n->get<long long>() > kMaxImagesPerItem) {
      return where + "\"n\" must be a whole number from 1 to " + std::to_string(kMaxImagesPerItem);
    }
    item.count = n->get<int>();
  }
  auto name = text_of("name");
  if (auto* refusal = std::get_if<std::string>(&name)) return *refusal;
  item.named = std::get<std::optional<std::string>>(name).has_value();
  item.name = std::get<std::optional<std::string>>(name).value_or(std::to_string(line));
  if (!usable_name(item.name)) {
    return where +
           "\"name\" must be a plain file stem (no folder, control character or leading dot)";
  }
  item.request = request_digest(job);
  if (call.mask && !host::is_http_link(*call.mask) &&
      (call.mask->find('\0') != std::string::npos || ::access(call.mask->c_str(), R_OK) != 0)) {
    return where + "cannot read the mask " + *call.mask;
  }
  if (const auto refs = job.find("refs"); refs != job.end() && !refs->is_null()) {
    if (!refs->is_array()) return where + "\"refs\" must be a list of links or paths";
    for (const json& ref : *refs) {
      if (!ref.is_string()) return where + "\"refs\" must be a list of links or paths";
      const std::string reference = ref.get<std::string>();
      if (!host::is_http_link(reference) &&
          (reference.find('\0') != std::string::npos || ::access(reference.c_str(), R_OK) != 0)) {
        return where + "cannot read the reference " + reference;
      }
      call.refs.push_back(reference);
    }
  }
  return item;
}

}  // namespace zantrel::cli
