#include "tools/emulator/gemini/batches.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using Clock = Batch::Clock;

constexpr const char* kBatchType =
    "type.googleapis.com/google.ai.generativelanguage.v1beta.GenerateContentBatch";
constexpr const char* kOutputType =
    "type.googleapis.com/google.ai.generativelanguage.v1beta.GenerateContentBatchOutput";

void not_found(httplib::Response& res) {
  send_gemini_error(res, 404, "Requested entity was not found.", "NOT_FOUND");
}

void invalid(httplib::Response& res, const std::string& message) {
  send_gemini_error(res, 400, message, "INVALID_ARGUMENT");
}

// A member under either of the JSON mappings' names (camelCase or snake_case).
const json* member(const json& object, const char* camel, const char* snake) {
  if (!object.is_object()) return nullptr;
  if (const auto at = object.find(camel); at != object.end()) return &*at;
  if (const auto at = object.find(snake); at != object.end()) return &*at;
  return nullptr;
}

// The "error" member of an error answer, else one made of its status and text.
std::string error_of(const InnerAnswer& answer) {
  const json body = json::parse(answer.body, nullptr, false);
  if (body.is_object() && body.contains("error")) return body["error"].dump();
  return json{{"code", answer.status}, {"message", answer.body}}.dump();
}

const char* state_of(const Batch& batch, Clock::time_point now) {
  if (batch.cancelled) return "BATCH_STATE_CANCELLED";
  if (!batch.started(now)) return "BATCH_STATE_PENDING";
  if (!batch.done(now)) return "BATCH_STATE_RUNNING";
  if (batch.fate == Batch::Fate::kExpire) return "BATCH_STATE_EXPIRED";
  if (batch.fate == Batch::Fate::kFail) return "BATCH_STATE_FAILED";
  return "BATCH_STATE_SUCCEEDED";
}

// The batch's requests from its input: inline, or the lines of a kept file. The refusal's text
// when there are none to take.
std::string read_input(const json& input, const GeminiFiles& files, Batch& batch) {
  const std::string path = "/v1beta/models/" + batch.model + ":generateContent";
  if (const json* file = member(input, "fileName", "file_name"); file && file->is_string()) {
    const std::string name = file->get<std::string>();
    const auto content = name.starts_with("files/") ? files.content(name.substr(6)) : std::nullopt;
    if (!content) return "Input file " + name + " was not found.";
    batch.input_file = name;
    bool readable = true;
    each_json_line(*content, [&](const json& line) {
      if (line.is_discarded()) return readable = false;
      if (line.is_object() && line.contains("request")) {
        batch.lines.push_back({line.value("key", ""), path, line["request"].dump()});
      }
      return true;
    });
    if (!readable) return "The input file holds a line that is not JSON.";
  } else if (const json* requests = member(input, "requests", "requests");
             requests && requests->is_object() && requests->contains("requests") &&
             (*requests)["requests"].is_array()) {
    for (const json& item : (*requests)["requests"]) {
      if (!item.is_object() || !item.contains("request")) {
        return "Each inlined request needs a request.";
      }
      const json metadata = item.value("metadata", json::object());
      batch.lines.push_back(
          {metadata.is_object() ? metadata.value("key", "") : "", path, item["request"].dump()});
    }
  } else {
    return "batch.inputConfig needs requests or a fileName.";
  }
  return batch.lines.empty() ? "The batch has no requests." : "";
}

}  // namespace

void GeminiBatches::keep_results(Batch& batch) {
  // An expired batch ran none of its requests.
  const std::size_t run = batch.fate == Batch::Fate::kExpire ? 0 : batch.lines.size();
  if (!engine_.run_due(batch, run) || batch.fate == Batch::Fate::kExpire) return;
  std::string output;
  for (std::size_t i = 0; i < batch.lines.size(); ++i) {
    const std::string key = json(batch.lines[i].key).dump();
    const InnerAnswer& answer = batch.answers[i];
    const std::string result =
        answer.status == 200 ? "\"response\":" + answer.body : "\"error\":" + error_of(answer);
    if (batch.input_file.empty()) {
      if (!output.empty()) output += ',';
      output += "{" + result + ",\"metadata\":{\"key\":" + key + "}}";
    } else {
      output += "{\"key\":" + key + "," + result + "}\n";
    }
  }
  batch.answers.clear();  // their bodies now live in the results
  if (batch.input_file.empty()) {
    batch.inline_output = std::move(output);
    return;
  }
  batch.output_file = files_.add("batch-" + batch.id + "-responses", "application/jsonl", output);
  if (batch.plan.cut_results) engine_.cut_next_download(batch.output_file);
}

std::string GeminiBatches::operation(Batch& batch) {
  std::lock_guard lock(batch.mutex);
  keep_results(batch);
  const auto now = Clock::now();
  const bool done = batch.done(now);
  const auto count = static_cast<int>(batch.lines.size());
  json stats = {{"requestCount", std::to_string(count)}};
  if (batch.settled) {
    stats["successfulRequestCount"] = std::to_string(batch.succeeded);
    stats["failedRequestCount"] = std::to_string(batch.failed);
    stats["pendingRequestCount"] = std::to_string(count - batch.succeeded - batch.failed);
  } else {
    stats["pendingRequestCount"] = std::to_string(count);
  }
  const Clock::time_point updated =
      done ? batch.cancelled.value_or(batch.created + batch.plan.delay) : now;
  json metadata = {{"@type", kBatchType},
                   {"model", "models/" + batch.model},
                   {"displayName", batch.display_name},
                   {"createTime", host::format_rfc3339(batch.created)},
                   {"updateTime", host::format_rfc3339(updated)},
                   {"batchStats", std::move(stats)},
                   {"state", state_of(batch, now)},
                   {"name", "batches/" + batch.id}};
  if (done) metadata["endTime"] = host::format_rfc3339(updated);
  json described = {{"name", "batches/" + batch.id}, {"metadata", std::move(metadata)}};
  if (!done) return described.dump();
  described["done"] = true;
  if (batch.fate == Batch::Fate::kFail && !batch.cancelled) {
    described["error"] = {{"code", 13}, {"message", "The batch could not be run."}};
  }
  std::string text = described.dump();
  if (!batch.settled || batch.fate != Batch::Fate::kSucceed) return text;
  // The output goes in as text: the answers are already JSON.
  const std::string output = batch.input_file.empty()
                                 ? "{\"@type\":\"" + std::string(kOutputType) +
                                       "\",\"inlinedResponses\":{\"inlinedResponses\":[" +
                                       batch.inline_output + "]}}"
                                 : "{\"@type\":\"" + std::string(kOutputType) +
                                       "\",\"responsesFile\":\"files/" + batch.output_file + "\"}";
  text.pop_back();
  return text + ",\"response\":" + output + "}";
}

void GeminiBatches::create(const std::string& model, const httplib::Request& req,
                           httplib::Response& res, const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  const json* batch_member = body.is_object() && body.contains("batch") ? &body["batch"] : nullptr;
  const json* input = batch_member ? member(*batch_member, "inputConfig", "input_config") : nullptr;
  if (input == nullptr || !input->is_object()) {
    invalid(res, "batch.inputConfig is required.");
    return;
  }
  auto batch = std::make_shared<Batch>();
  batch->api = Api::kGemini;
  batch->model = model;
  if (const json* name = member(*batch_member, "displayName", "display_name");
      name && name->is_string()) {
    batch->display_name = name->get<std::string>();
  }
  if (const std::string refusal = read_input(*input, files_, *batch); !refusal.empty()) {
    invalid(res, refusal);
    return;
  }
  engine_.admit(batch, scenario, res, [this](Batch& kept) { return operation(kept); });
}

void GeminiBatches::get(const std::string& id, httplib::Response& res) {
  engine_.describe(
      Api::kGemini, id, res, [this](Batch& batch) { return operation(batch); }, not_found);
}

void GeminiBatches::list(const httplib::Request& req, httplib::Response& res) {
  const std::size_t size =
      std::clamp<std::size_t>(page_number(req.get_param_value("pageSize"), 50), 1, 1000);
  const std::size_t from = page_number(req.get_param_value("pageToken"), 0);
  const auto newest_first = engine_.newest_first(Api::kGemini);
  // Listed without their output, which is read through each batch's own resource.
  json operations = json::array();
  for (std::size_t i = from; i < std::min(newest_first.size(), from + size); ++i) {
    json listed = json::parse(operation(*newest_first[i]));
    listed.erase("response");
    operations.push_back(std::move(listed));
  }
  json page = {{"operations", std::move(operations)}};
  if (from + size < newest_first.size()) page["nextPageToken"] = std::to_string(from + size);
  send_json(res, 200, page);
}

void GeminiBatches::cancel(const std::string& id, httplib::Response& res) {
  const auto batch = engine_.find(Api::kGemini, id);
  if (!batch) {
    not_found(res);
    return;
  }
  std::lock_guard lock(batch->mutex);
  if (!batch->done(Clock::now())) batch->cancelled = Clock::now();
  send_json(res, 200, json::object());
}

void GeminiBatches::download(const std::string& file_id, httplib::Response& res) {
  auto content = files_.content(file_id);
  if (!content) {
    not_found(res);
    return;
  }
  engine_.send_file(file_id, std::move(*content), res);
}

}  // namespace zantrel::emulator
