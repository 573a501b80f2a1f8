#include "tools/emulator/images/responses.h"

#include <httplib.h>

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
                                                     "tools",
                                                     "tool_choice",
                                                     "store",
                                                     "background",
                                                     "previous_response_id",
                                                     "user",
                                                     "safety_identifier",
                                                     "metadata",
                                                     "instructions",
                                                     "stream",
                                                     "include",
                                                     "text",
                                                     "reasoning",
                                                     "parallel_tool_calls",
                                                     "max_output_tokens",
                                                     "truncation",
                                                     "service_tier",
                                                     "prompt_cache_key"};
// The tool's members the images API takes under the same names.
const std::set<std::string, std::less<>> kToolMembers = {
    "size",       "quality",    "output_format", "output_compression",
    "background", "moderation", "input_fidelity"};

void send_refusal(httplib::Response& res, int status, const std::string& message,
                  const json& param = nullptr, const json& code = nullptr) {
  send_json(res, status, images_error_body(message, "invalid_request_error", param, code));
}

// The user message's texts and images of "input" (a text, or a list of messages).
void read_input(const json& input, std::string& prompt, json& images) {
  if (input.is_string()) {
    prompt += input.get<std::string>();
    return;
  }
  for (const json& message : input.is_array() ? input : json::array()) {
    const json content = message.value("content", json());
    if (content.is_string()) prompt += content.get<std::string>();
    for (const json& block : content.is_array() ? content : json::array()) {
      const std::string type = block.value("type", "");
      if (type == "input_text") prompt += block.value("text", "");
      if (type == "input_image") images.push_back({{"image_url", block.value("image_url", "")}});
    }
  }
}

json view_of(const StoredJob& job, Clock::time_point now) {
  json head = job.done;
  if (job.cancelled) {
    head["status"] = "cancelled";
    head["output"] = json::array();
    head.erase("usage");
    return head;
  }
  if (!job.ended(now)) {
    head["status"] = "in_progress";
    head["output"] = json::array();
    head.erase("usage");
  }
  return head;
}

void send_not_found(httplib::Response& res, const std::string& id) {
  send_refusal(res, 404, "Response with id '" + id + "' not found.");
}

}  // namespace

void ImagesResponses::create(const AnswerContext& context, const httplib::Request& req,
                             httplib::Response& res, const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object())
    return send_refusal(res, 400, "We could not parse the JSON body of your request.");
  for (const auto& [key, value] : body.items()) {
    if (!kMembers.contains(key)) {
      return send_refusal(res, 400, "Unknown parameter: '" + key + "'.", key, "unknown_parameter");
    }
  }
  if (!body.contains("model") || !body.contains("input")) {
    return send_refusal(res, 400, "Missing required parameter: 'model'.", "model",
                        "missing_required_parameter");
  }
  const json tools = body.value("tools", json::array());
  const json tool = tools.is_array() && !tools.empty() ? tools[0] : json();
  if (!tool.is_object() || tool.value("type", "") != "image_generation") {
    return send_refusal(res, 400, "This emulator answers only the image_generation tool.", "tools");
  }
  std::string prompt;
  json images = json::array();
  read_input(body["input"], prompt, images);
  json kept_image;
  if (const std::string previous = body.value("previous_response_id", ""); !previous.empty()) {
    const bool held = jobs_.visit(previous, [&](StoredJob& job) { kept_image = job.kept; });
    if (!held || kept_image.is_null()) return send_not_found(res, previous);
    images.insert(images.begin(), kept_image);
  }
  // The same request to the images API: generations, or a JSON edit of the input images.
  json request = {{"model", tool.value("model", "gpt-image-1")}, {"prompt", prompt}};
  for (const auto& [key, value] : tool.items()) {
    if (kToolMembers.contains(key)) request[key] = value;
  }
  if (!images.empty()) request["images"] = images;
  if (tool.contains("input_image_mask")) request["mask"] = tool["input_image_mask"];
  const JobPlan plan = JobPlan::of(scenario);
  const bool planned = answer_pause(scenario).count() > 0 || scenario.fault == Fault::kJob;
  const InnerAnswer inner = answer_(images.empty() ? "/v1/images/generations" : "/v1/images/edits",
                                    request.dump(), planned ? Scenario{} : scenario);
  if (inner.status != 200) {
    res.status = inner.status;
    res.set_content(inner.body, "application/json");
    return;
  }
  const json answer = json::parse(inner.body, nullptr, false);
  const json first = answer.value("data", json::array()).empty() ? json() : answer["data"][0];
  StoredJob job;
  job.created = host::format_rfc3339(std::chrono::system_clock::now());
  job.plan = plan;
  json call = {{"id", "ig_" + inner.request_id},
               {"type", "image_generation_call"},
               {"status", "completed"},
               {"result", first.is_object() ? first.value("b64_json", "") : ""}};
  for (const char* member : {"output_format", "size", "quality", "background"}) {
    if (answer.contains(member)) call[member] = answer[member];
  }
  if (first.is_object() && first.contains("revised_prompt")) {
    call["revised_prompt"] = first["revised_prompt"];
  }
  const bool background = body.value("background", false);
  job.done = {{"object", "response"},
              {"created_at", std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count()},
              {"status", "completed"},
              {"background", background},
              {"error", nullptr},
              {"incomplete_details", nullptr},
              {"model", body["model"]},
              {"output", {call}},
              {"tools", tools},
              {"usage", {{"input_tokens", 24}, {"output_tokens", 12}, {"total_tokens", 36}}}};
  if (plan.fail) {
    job.done["status"] = "failed";
    job.done["output"] = json::array();
    job.done["error"] = {{"code", "server_error"},
                         {"message", "The server had an error processing your request."}};
  }
  job.kept = {{"image_url", "data:image/png;base64," + call["result"].get<std::string>()}};
  if (!background) {
    if (wait_before_answering(scenario, context, req, res)) return;
    const std::string id = jobs_.add(job);
    json whole = {{"id", id}};
    whole.update(job.done);
    send_json(res, 200, whole);
    return;
  }
  job.ready_at = Clock::now() + plan.takes;
  // A background response is queued first.
  json pending = job.done;
  pending["status"] = "queued";
  pending["output"] = json::array();
  pending.erase("usage");
  const std::string id = jobs_.add(std::move(job));
  json submitted = {{"id", id}};
  submitted.update(pending);
  if (plan.lost_submit) {
    stream_body(res, submitted.dump(), 2, std::chrono::milliseconds(0), true, 0);
    return;
  }
  send_json(res, 200, submitted);
}

void ImagesResponses::get(const std::string& id, httplib::Response& res) {
  const auto described = [](const StoredJob& job) {
    json view = {{"id", job.id}};
    view.update(view_of(job, Clock::now()));
    return view;
  };
  json view;
  switch (jobs_.poll(id, described, view)) {
    case JobStore::Poll::kUnknown:
      return send_not_found(res, id);
    case JobStore::Poll::kBusy:
      return send_json(
          res, 503,
          images_error_body("The server is overloaded. Please try again later.", "server_error"));
    case JobStore::Poll::kAnswered:
      return send_json(res, 200, view);
  }
}

void ImagesResponses::cancel(const std::string& id, httplib::Response& res) {
  json view;
  bool synchronous = false;
  const bool held = jobs_.visit(id, [&](StoredJob& job) {
    synchronous = !job.done.value("background", false);
    if (!synchronous && !job.ended(Clock::now())) job.cancelled = true;
    view = {{"id", job.id}};
    view.update(view_of(job, Clock::now()));
  });
  if (!held) return send_not_found(res, id);
  if (synchronous) return send_refusal(res, 400, "Cannot cancel a synchronous response.");
  send_json(res, 200, view);
}

}  // namespace zantrel::emulator
