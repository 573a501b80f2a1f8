#include "tools/cli/output/image_facts.h"
#include "tools/cli/core/exit_code.h"

#include <chrono>
#include <iostream>

#include <nlohmann/json.hpp>

#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/references.h"
#include "zantrel/version.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

}  // namespace

host::ImageMetadata image_facts(const GenerateOptions& call, const host::CallReport& report) {
  json facts = json::object();
  facts["prompt"] = call.prompt;
  facts["service"] = host::to_string(call.service);
  const std::string model = report.model_sent.value_or(call.model.value_or(""));
  if (!model.empty()) facts["model"] = model;
  // The parameters as asked; what the service was not asked is not said.
  const auto add = [&](const char* name, const auto& value) {
    if (value) facts[name] = *value;
  };
  add("aspect_ratio", call.aspect_ratio);
  add("image_size", call.image_size);
  add("quality", call.quality);
  add("output_format", call.output_format);
  add("output_compression", call.output_compression);
  add("background", call.background);
  add("input_fidelity", call.input_fidelity);
  add("seed", call.seed);
  add("temperature", call.temperature);
  add("thinking_level", call.thinking_level);
  if (!call.refs.empty()) facts["references"] = call.refs.size();
  add("request_id", report.request_id);
  facts["time"] = host::format_rfc3339(std::chrono::system_clock::now());
  facts["tool"] = std::string("zantrel-image ") + ZANTREL_VERSION_STRING;

  std::string text = call.prompt + "\n";
  bool first = true;
  for (const auto& [name, value] : facts.items()) {
    if (name == "prompt") continue;
    text += (first ? "" : ", ") + name + ": " +
            (value.is_string() ? value.get<std::string>() : value.dump());
    first = false;
  }
  facts["parameters"] = text;
  return {text, facts.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace zantrel::cli
