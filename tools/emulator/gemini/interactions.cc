#include "tools/emulator/gemini/interactions.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/emulator/faults.h"
#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using Clock = StoredJob::Clock;

const std::set<std::string, std::less<>> kMembers = {"model",
                                                     "input",
                                                     "response_format",
                                                     "response_modalities",
                                                     "generation_config",
                                                     "safety_settings",
                                                     "previous_interaction_id",
                                                     "background",
                                                     "store",
                                                     "stream",
                                                     "system_instruction",
                                                     "labels"};

// What a create can't be answered for: the status and message.
struct Refusal {
  int status;
  std::string message;
  const char* code;
};

std::string upper(std::string_view word) {
  std::string out(word);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

// One content block of the input as a generateContent part.
json part_of(const json& block) {
  const std::string type = block.value("type", "");
  if (type == "text") return {{"text", block.value("text", "")}};
  if (type != "image")
    throw Refusal{400, "Unsupported input content type: \"" + type + "\".", "INVALID_ARGUMENT"};
  const std::string mime = block.value("mime_type", "image/png");
  if (block.contains("data"))
    return {{"inlineData", {{"mimeType", mime}, {"data", block["data"]}}}};
  if (block.contains("uri")) return {{"fileData", {{"mimeType", mime}, {"fileUri", block["uri"]}}}};
  throw Refusal{400, "An image content needs \"data\" or \"uri\".", "INVALID_ARGUMENT"};
}

json user_turn(const json& input) {
  json parts = json::array();
  if (input.is_string()) {
    parts.push_back({{"text", input}});
  } else if (input.is_object()) {
    parts.push_back(part_of(input));
  } else if (input.is_array()) {
    for (const json& block : input) parts.push_back(part_of(block));
  }
  if (parts.empty()) throw Refusal{400, "input must not be empty.", "INVALID_ARGUMENT"};
  return {{"role", "user"}, {"parts", std::move(parts)}};
}

json generation_config(const json& body) {
  json config = json::object();
  json modalities = json::array();
  json image_config = json::object();
  json formats = body.value("response_format", json());
  if (formats.is_object()) formats = json::array({formats});
  for (const json& format : formats.is_array() ? formats : json::array()) {
    const std::string type = format.value("type", "");
    modalities.push_back(upper(type));
    if (type != "image") continue;
    if (format.contains("aspect_ratio")) image_config["aspectRatio"] = format["aspect_ratio"];
    if (format.contains("image_size")) image_config["imageSize"] = format["image_size"];
  }
  for (const json& modality : body.value("response_modalities", json::array())) {
    modalities.push_back(upper(modality.get<std::string>()));
  }
  config["responseModalities"] = modalities.empty() ? json::array({"TEXT"}) : modalities;
  if (!image_config.empty()) config["imageConfig"] = std::move(image_config);
  const json given = body.value("generation_config", json::object());
  if (given.contains("seed")) config["seed"] = given["seed"];
  if (given.contains("thinking_level")) {
    config["thinkingConfig"] = {{"thinkingLevel", given["thinking_level"]}};
  }
  return config;
}

// The generateContent answer read into an Interaction's output: its steps, status and usage.
json interaction_of(const json& answer) {
  json resource = {{"status", "completed"}};
  if (answer.contains("promptFeedback")) {
    resource["status"] = "failed";
    resource["errors"] = {{{"code", "prompt_blocked"},
                           {"message", "The prompt was blocked: " +
                                           answer["promptFeedback"].value("blockReason", "")}}};
    return resource;
  }
  json steps = json::array();
  json output = json::array();
  const json& parts = answer["candidates"][0]["content"]["parts"];
  for (const json& part : parts) {
    json block;
    if (part.contains("inlineData")) {
      block = {{"type", "image"},
               {"mime_type", part["inlineData"]["mimeType"]},
               {"data", part["inlineData"]["data"]}};
    } else if (part.contains("fileData")) {
      block = {{"type", "image"},
               {"mime_type", part["fileData"]["mimeType"]},
               {"uri", part["fileData"]["fileUri"]}};
    } else {
      block = {{"type", "text"}, {"text", part.value("text", "")}};
    }
    if (part.value("thought", false)) {
      steps.push_back({{"type", "thought"}, {"summary", {block}}});
    } else {
      output.push_back(std::move(block));
    }
  }
  steps.push_back({{"type", "model_output"}, {"content", std::move(output)}});
  resource["steps"] = std::move(steps);
  const json usage = answer.value("usageMetadata", json::object());
  resource["usage"] = {{"total_input_tokens", usage.value("promptTokenCount", 0)},
                       {"total_output_tokens", usage.value("candidatesTokenCount", 0)},
                       {"total_tokens", usage.value("totalTokenCount", 0)}};
  return resource;
}

// The job as the service describes it now.
json view_of(const StoredJob& job, Clock::time_point now) {
  json head = {{"id", job.id},
               {"model", job.done.value("model", "")},
               {"created", job.created},
               {"updated", host::format_rfc3339(std::chrono::system_clock::now())}};
  if (job.cancelled) {
    head["status"] = "cancelled";
    return head;
  }
  if (!job.ended(now)) {
    head["status"] = "in_progress";
    return head;
  }
  json whole = {{"id", job.id}};
  whole.update(job.done);
  whole["updated"] = head["updated"];
  return whole;
}

void send_not_found(httplib::Response& res, const std::string& id) {
  send_gemini_error(res, 404, "Interaction " + id + " not found.", "NOT_FOUND");
}

}  // namespace

void GeminiInteractions::create(const AnswerContext& context, const httplib::Request& req,
                                httplib::Response& res, const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object()) {
    send_gemini_error(res, 400, "Invalid JSON payload received.", "INVALID_ARGUMENT");
    return;
  }
  for (const auto& [key, value] : body.items()) {
    if (!kMembers.contains(key)) {
      send_gemini_error(
          res, 400,
          "Invalid JSON payload received. Unknown name \"" + key + "\": Cannot find field.",
          "INVALID_ARGUMENT");
      return;
    }
  }
  const std::string model = body.value("model", "");
  if (model.empty() || !body.contains("input")) {
    send_gemini_error(res, 400, "model and input are required.", "INVALID_ARGUMENT");
    return;
  }
  json contents = json::array();
  try {
    if (const std::string previous = body.value("previous_interaction_id", ""); !previous.empty()) {
      bool held = jobs_.visit(previous, [&](StoredJob& job) { contents = job.kept; });
      if (!held || contents.empty()) {
        send_not_found(res, previous);
        return;
      }
    }
    contents.push_back(user_turn(body["input"]));
  } catch (const Refusal& refusal) {
    send_gemini_error(res, refusal.status, refusal.message, refusal.code);
    return;
  }
  json request = {{"contents", contents}, {"generationConfig", generation_config(body)}};
  if (body.contains("safety_settings")) {
    json settings = json::array();
    for (const json& setting : body["safety_settings"]) {
      settings.push_back({{"category", "HARM_CATEGORY_" + upper(setting.value("type", ""))},
                          {"threshold", upper(setting.value("threshold", ""))}});
    }
    request["safetySettings"] = std::move(settings);
  }
  // A job's own time is the plan's; the picture is made as a plain request's would be.
  const JobPlan plan = JobPlan::of(scenario);
  const bool planned = answer_pause(scenario).count() > 0 || scenario.fault == Fault::kJob;
  const Scenario made = planned ? Scenario{} : scenario;
  const InnerAnswer inner =
      answer_("/v1beta/models/" + model + ":generateContent", request.dump(), made);
  if (inner.status != 200) {
    res.status = inner.status;
    res.set_content(inner.body, "application/json");
    return;
  }
  const json answer = json::parse(inner.body, nullptr, false);
  StoredJob job;
  job.created = host::format_rfc3339(std::chrono::system_clock::now());
  job.plan = plan;
  job.done = {{"model", model}, {"created", job.created}};
  job.done.update(interaction_of(answer));
  if (plan.fail) {
    job.done = {{"model", model},
                {"created", job.created},
                {"status", "failed"},
                {"errors", {{{"code", "internal"}, {"message", "Internal error encountered."}}}}};
  }
  if (answer.contains("candidates")) {
    contents.push_back(answer["candidates"][0]["content"]);
    job.kept = std::move(contents);
  }
  const bool background = body.value("background", false);
  if (!background) {
    if (wait_before_answering(scenario, context, req, res)) return;
    const std::string id = jobs_.add(job);
    json whole = {{"id", id}};
    whole.update(job.done);
    send_json(res, 200, whole);
    return;
  }
  job.ready_at = Clock::now() + plan.takes;
  const StoredJob kept = job;
  const std::string id = jobs_.add(std::move(job));
  json submitted = {{"id", id},
                    {"model", model},
                    {"created", kept.created},
                    {"updated", kept.created},
                    {"status", "in_progress"}};
  if (plan.lost_submit) {
    stream_body(res, submitted.dump(), 2, std::chrono::milliseconds(0), true, 0);
    return;
  }
  send_json(res, 200, submitted);
}

void GeminiInteractions::get(const std::string& id, httplib::Response& res) {
  json view;
  switch (jobs_.poll(
      id, [](const StoredJob& job) { return view_of(job, Clock::now()); }, view)) {
    case JobStore::Poll::kUnknown:
      return send_not_found(res, id);
    case JobStore::Poll::kBusy:
      return send_gemini_error(res, 503, "The service is currently unavailable.", "UNAVAILABLE");
    case JobStore::Poll::kAnswered:
      return send_json(res, 200, view);
  }
}

void GeminiInteractions::cancel(const std::string& id, httplib::Response& res) {
  json view;
  const bool held = jobs_.visit(id, [&](StoredJob& job) {
    if (!job.ended(Clock::now())) job.cancelled = true;
    view = view_of(job, Clock::now());
  });
  if (!held) return send_not_found(res, id);
  send_json(res, 200, view);
}

}  // namespace zantrel::emulator
