#include "tools/emulator/batch_engine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/emulator/wire_errors.h"
#include "zantrel/host/codec/rfc3339.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::system_clock;

constexpr const char* kGeminiBatchType =
    "type.googleapis.com/google.ai.generativelanguage.v1beta.GenerateContentBatch";
constexpr const char* kGeminiOutputType =
    "type.googleapis.com/google.ai.generativelanguage.v1beta.GenerateContentBatchOutput";
constexpr const char* kExpiredText =
    "This request could not be executed before the completion window expired.";

void send_json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void gemini_error(httplib::Response& res, int code, const std::string& message,
                  const char* status) {
  send_json(res, code, gemini_error_body(code, message, status));
}

void images_error(httplib::Response& res, int code, const std::string& message) {
  send_json(res, code, images_error_body(message));
}

std::int64_t unix_seconds(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

// A member under either of the JSON mappings' names (camelCase or snake_case).
const json* member(const json& object, const char* camel, const char* snake) {
  if (!object.is_object()) return nullptr;
  if (const auto at = object.find(camel); at != object.end()) return &*at;
  if (const auto at = object.find(snake); at != object.end()) return &*at;
  return nullptr;
}

std::size_t page_number(const std::string& text, std::size_t fallback) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return text.empty() || error != std::errc() || end != text.data() + text.size() ? fallback
                                                                                  : value;
}

// The "error" member of an error answer, else one made of its status and text.
std::string error_of(const InnerAnswer& answer) {
  const json body = json::parse(answer.body, nullptr, false);
  if (body.is_object() && body.contains("error")) return body["error"].dump();
  return json{{"code", answer.status}, {"message", answer.body}}.dump();
}

}  // namespace

struct BatchEngine::Batch {
  enum class Fate { kSucceed, kExpire, kFail };
  struct Line {
    std::string key;
    std::string path;
    std::string body;
  };

  bool gemini = true;
  std::string id;
  std::string display_name;        // Gemini
  json metadata = json::object();  // images API
  std::string model;               // Gemini
  std::string endpoint;            // images API
  std::string input_file;          // "" for inline requests
  std::vector<Line> lines;
  BatchPlan plan;
  Fate fate = Fate::kSucceed;
  Clock::time_point created;
  std::optional<Clock::time_point> cancelled;

  std::mutex mutex;  // guards what follows
  bool settled = false;
  std::vector<InnerAnswer> answers;  // one per line run (an expired batch runs the first half)
  std::string inline_output;         // Gemini: the inlined responses
  std::string output_file;           // Gemini: the responses file; images API: the output file
  std::string error_file;            // images API
  int succeeded = 0;
  int failed = 0;

  bool done(Clock::time_point now) const { return cancelled || now - created >= plan.delay; }
  bool started(Clock::time_point now) const { return now - created >= plan.delay / 2; }
};

BatchEngine::BatchEngine(FileStore& gemini_files, AnswerRequest answer)
    : gemini_files_(gemini_files), answer_(std::move(answer)) {}

std::shared_ptr<BatchEngine::Batch> BatchEngine::find(bool gemini, const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (const auto& batch : batches_) {
    if (batch->gemini == gemini && batch->id == id) return batch;
  }
  return nullptr;
}

std::shared_ptr<BatchEngine::Batch> BatchEngine::add(std::shared_ptr<Batch> kept,
                                                     const Scenario& scenario) {
  if (scenario.fault == Fault::kBatch)
    kept->plan = BatchPlan::parse(scenario.param).value_or(BatchPlan{});
  kept->created = Clock::now();
  const auto ordinal = static_cast<int>(++creates_);
  if (ordinal == kept->plan.expire_nth) kept->fate = Batch::Fate::kExpire;
  if (ordinal == kept->plan.fail_nth) kept->fate = Batch::Fate::kFail;
  std::lock_guard lock(mutex_);
  char id[32];
  std::snprintf(id, sizeof id, kept->gemini ? "%012llx" : "batch_%012llx",
                static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 16));
  kept->id = id;
  batches_.push_back(kept);
  return kept;
}

void BatchEngine::settle(Batch& batch) {
  // Under the batch's own lock: its requests run once, whoever asks first.
  if (batch.settled || !batch.done(Clock::now()) || batch.cancelled ||
      batch.fate == Batch::Fate::kFail) {
    return;
  }
  const std::size_t run = batch.fate == Batch::Fate::kExpire
                              ? (batch.gemini ? 0 : batch.lines.size() / 2)
                              : batch.lines.size();
  const Scenario failing = *Scenario::parse("status:500");
  const Scenario answering =
      batch.plan.small_pictures ? *Scenario::parse("small-delay:0") : Scenario{};
  for (std::size_t i = 0; i < run; ++i) {
    const bool fails =
        batch.plan.fail_every > 0 && (i + 1) % static_cast<std::size_t>(batch.plan.fail_every) == 0;
    const Batch::Line& line = batch.lines[i];
    batch.answers.push_back(answer_(line.path, line.body, fails ? failing : answering));
    (batch.answers.back().status == 200 ? batch.succeeded : batch.failed) += 1;
  }
  batch.settled = true;
  if (batch.fate == Batch::Fate::kExpire && batch.gemini) return;

  std::string output, errors;
  for (std::size_t i = 0; i < batch.lines.size(); ++i) {
    const std::string key = json(batch.lines[i].key).dump();
    if (batch.gemini) {
      const InnerAnswer& answer = batch.answers[i];
      const std::string result =
          answer.status == 200 ? "\"response\":" + answer.body : "\"error\":" + error_of(answer);
      if (batch.input_file.empty()) {
        if (!output.empty()) output += ',';
        output += "{" + result + ",\"metadata\":{\"key\":" + key + "}}";
      } else {
        output += "{\"key\":" + key + "," + result + "}\n";
      }
      continue;
    }
    const std::string id = "\"batch_req_" + std::to_string(i + 1) + "\"";
    if (i >= batch.answers.size()) {
      errors += "{\"id\":" + id + ",\"custom_id\":" + key + ",\"response\":null,\"error\":" +
                json{{"code", "batch_expired"}, {"message", kExpiredText}}.dump() + "}\n";
      continue;
    }
    const InnerAnswer& answer = batch.answers[i];
    (answer.status == 200 ? output : errors) +=
        "{\"id\":" + id + ",\"custom_id\":" + key +
        ",\"response\":{\"status_code\":" + std::to_string(answer.status) +
        ",\"request_id\":" + json(answer.request_id).dump() + ",\"body\":" + answer.body +
        "},\"error\":null}\n";
  }
  batch.answers.clear();  // their bodies now live in the results
  if (batch.gemini && batch.input_file.empty()) {
    batch.inline_output = std::move(output);
  } else if (batch.gemini) {
    batch.output_file =
        gemini_files_.add("batch-" + batch.id + "-responses", "application/jsonl", output);
  } else {
    std::lock_guard lock(mutex_);
    const auto keep = [&](std::string content) {
      char id[32];
      std::snprintf(id, sizeof id, "file-%012llx",
                    static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 16));
      images_files_[id] = {"batch_" + batch.id + "_output.jsonl", "batch_output",
                           std::move(content), unix_seconds(Clock::now())};
      return std::string(id);
    };
    if (!output.empty()) batch.output_file = keep(std::move(output));
    if (!errors.empty()) batch.error_file = keep(std::move(errors));
  }
  if (batch.plan.cut_results) {
    std::lock_guard lock(mutex_);
    if (!batch.output_file.empty()) cut_next_download_.insert(batch.output_file);
  }
}

void BatchEngine::send_created(const Batch& batch, httplib::Response& res,
                               const std::string& body) const {
  if (batch.plan.create_wait.count() > 0) std::this_thread::sleep_for(batch.plan.create_wait);
  res.status = 200;
  if (static_cast<int>(creates_.load()) == batch.plan.lost_create_nth) {
    // The batch is made; its answer never arrives whole.
    res.set_content_provider(body.size(), "application/json",
                             [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    return;
  }
  res.set_content(body, "application/json");
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the file's id, then its bytes
void BatchEngine::send_file(const std::string& id, std::string content, httplib::Response& res) {
  bool cut = false;
  {
    std::lock_guard lock(mutex_);
    cut = cut_next_download_.erase(id) > 0;
  }
  if (!cut) {
    res.set_content(content, "application/octet-stream");
    return;
  }
  // Half of the file, then the connection goes.
  auto shared = std::make_shared<std::string>(std::move(content));
  res.set_content_provider(shared->size(), "application/octet-stream",
                           [shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             if (offset >= shared->size() / 2) return false;
                             sink.write(shared->data(), shared->size() / 2);
                             return true;
                           });
}

// ---- Gemini -------------------------------------------------------------------------------

std::string BatchEngine::gemini_operation(Batch& batch) {
  std::lock_guard lock(batch.mutex);
  settle(batch);
  const auto now = Clock::now();
  const bool done = batch.done(now);
  const char* state = batch.cancelled                      ? "BATCH_STATE_CANCELLED"
                      : !batch.started(now)                ? "BATCH_STATE_PENDING"
                      : !done                              ? "BATCH_STATE_RUNNING"
                      : batch.fate == Batch::Fate::kExpire ? "BATCH_STATE_EXPIRED"
                      : batch.fate == Batch::Fate::kFail   ? "BATCH_STATE_FAILED"
                                                           : "BATCH_STATE_SUCCEEDED";
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
  json metadata = {{"@type", kGeminiBatchType},
                   {"model", "models/" + batch.model},
                   {"displayName", batch.display_name},
                   {"createTime", host::format_rfc3339(batch.created)},
                   {"updateTime", host::format_rfc3339(updated)},
                   {"batchStats", std::move(stats)},
                   {"state", state},
                   {"name", "batches/" + batch.id}};
  if (done) metadata["endTime"] = host::format_rfc3339(updated);
  json operation = {{"name", "batches/" + batch.id}, {"metadata", std::move(metadata)}};
  if (!done) return operation.dump();
  operation["done"] = true;
  if (batch.fate == Batch::Fate::kFail && !batch.cancelled) {
    operation["error"] = {{"code", 13}, {"message", "The batch could not be run."}};
  }
  std::string text = operation.dump();
  if (!batch.settled || batch.fate != Batch::Fate::kSucceed) return text;
  // The output goes in as text: the answers are already JSON.
  const std::string output = batch.input_file.empty()
                                 ? "{\"@type\":\"" + std::string(kGeminiOutputType) +
                                       "\",\"inlinedResponses\":{\"inlinedResponses\":[" +
                                       batch.inline_output + "]}}"
                                 : "{\"@type\":\"" + std::string(kGeminiOutputType) +
                                       "\",\"responsesFile\":\"files/" + batch.output_file + "\"}";
  text.pop_back();
  return text + ",\"response\":" + output + "}";
}

void BatchEngine::gemini_create(const std::string& model, const httplib::Request& req,
                                httplib::Response& res, const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  const json* batch_member = body.is_object() && body.contains("batch") ? &body["batch"] : nullptr;
  const json* input = batch_member ? member(*batch_member, "inputConfig", "input_config") : nullptr;
  if (input == nullptr || !input->is_object()) {
    gemini_error(res, 400, "batch.inputConfig is required.", "INVALID_ARGUMENT");
    return;
  }
  auto owned = std::make_shared<Batch>();
  Batch& batch = *owned;
  batch.gemini = true;
  batch.model = model;
  if (const json* name = member(*batch_member, "displayName", "display_name");
      name && name->is_string()) {
    batch.display_name = name->get<std::string>();
  }
  const std::string path = "/v1beta/models/" + model + ":generateContent";
  if (const json* file = member(*input, "fileName", "file_name"); file && file->is_string()) {
    const std::string name = file->get<std::string>();
    const auto content =
        name.starts_with("files/") ? gemini_files_.content(name.substr(6)) : std::nullopt;
    if (!content) {
      gemini_error(res, 400, "Input file " + name + " was not found.", "INVALID_ARGUMENT");
      return;
    }
    batch.input_file = name;
    std::size_t at = 0;
    while (at < content->size()) {
      const std::size_t end = std::min(content->find('\n', at), content->size());
      const json line = json::parse(content->substr(at, end - at), nullptr, false);
      at = end + 1;
      if (line.is_discarded()) {
        gemini_error(res, 400, "The input file holds a line that is not JSON.", "INVALID_ARGUMENT");
        return;
      }
      if (!line.is_object() || !line.contains("request")) continue;
      batch.lines.push_back({line.value("key", ""), path, line["request"].dump()});
    }
  } else if (const json* requests = member(*input, "requests", "requests");
             requests && requests->is_object() && requests->contains("requests") &&
             (*requests)["requests"].is_array()) {
    for (const json& item : (*requests)["requests"]) {
      if (!item.is_object() || !item.contains("request")) {
        gemini_error(res, 400, "Each inlined request needs a request.", "INVALID_ARGUMENT");
        return;
      }
      const json metadata = item.value("metadata", json::object());
      batch.lines.push_back(
          {metadata.is_object() ? metadata.value("key", "") : "", path, item["request"].dump()});
    }
  } else {
    gemini_error(res, 400, "batch.inputConfig needs requests or a fileName.", "INVALID_ARGUMENT");
    return;
  }
  if (batch.lines.empty()) {
    gemini_error(res, 400, "The batch has no requests.", "INVALID_ARGUMENT");
    return;
  }
  const auto kept = add(owned, scenario);
  send_created(*kept, res, gemini_operation(*kept));
}

void BatchEngine::gemini_get(const std::string& id, httplib::Response& res) {
  const auto batch = find(true, id);
  if (!batch) {
    gemini_error(res, 404, "Requested entity was not found.", "NOT_FOUND");
    return;
  }
  res.set_content(gemini_operation(*batch), "application/json");
}

void BatchEngine::gemini_list(const httplib::Request& req, httplib::Response& res) {
  const std::size_t size =
      std::clamp<std::size_t>(page_number(req.get_param_value("pageSize"), 50), 1, 1000);
  const std::size_t from = page_number(req.get_param_value("pageToken"), 0);
  std::vector<std::shared_ptr<Batch>> newest_first;
  {
    std::lock_guard lock(mutex_);
    for (auto at = batches_.rbegin(); at != batches_.rend(); ++at) {
      if ((*at)->gemini) newest_first.push_back(*at);
    }
  }
  // Listed without their output, which is read through each batch's own resource.
  json operations = json::array();
  for (std::size_t i = from; i < std::min(newest_first.size(), from + size); ++i) {
    json operation = json::parse(gemini_operation(*newest_first[i]));
    operation.erase("response");
    operations.push_back(std::move(operation));
  }
  json page = {{"operations", std::move(operations)}};
  if (from + size < newest_first.size()) page["nextPageToken"] = std::to_string(from + size);
  send_json(res, 200, page);
}

void BatchEngine::gemini_cancel(const std::string& id, httplib::Response& res) {
  const auto batch = find(true, id);
  if (!batch) {
    gemini_error(res, 404, "Requested entity was not found.", "NOT_FOUND");
    return;
  }
  std::lock_guard lock(batch->mutex);
  if (!batch->done(Clock::now())) batch->cancelled = Clock::now();
  send_json(res, 200, json::object());
}

void BatchEngine::gemini_download(const std::string& file_id, httplib::Response& res) {
  auto content = gemini_files_.content(file_id);
  if (!content) {
    gemini_error(res, 404, "Requested entity was not found.", "NOT_FOUND");
    return;
  }
  send_file(file_id, std::move(*content), res);
}

// ---- images API ---------------------------------------------------------------------------

void BatchEngine::images_upload(const httplib::Request& req, httplib::Response& res) {
  if (!req.is_multipart_form_data() || !req.has_file("file") || !req.has_file("purpose")) {
    images_error(res, 400, "A file upload takes the multipart fields 'file' and 'purpose'.");
    return;
  }
  const auto purpose = req.get_file_value("purpose").content;
  if (purpose != "batch") {
    images_error(res, 400, "'" + purpose + "' is not a purpose this emulator keeps files for.");
    return;
  }
  const auto part = req.get_file_value("file");
  ImagesFile file{part.filename, purpose, part.content, unix_seconds(Clock::now())};
  std::string id;
  {
    std::lock_guard lock(mutex_);
    char text[32];
    std::snprintf(text, sizeof text, "file-%012llx",
                  static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 16));
    id = text;
    images_files_[id] = file;
  }
  send_json(res, 200,
            {{"id", id},
             {"object", "file"},
             {"bytes", file.bytes.size()},
             {"created_at", file.created},
             {"filename", file.filename},
             {"purpose", file.purpose}});
}

void BatchEngine::images_file_content(const std::string& id, httplib::Response& res) {
  std::string content;
  {
    std::lock_guard lock(mutex_);
    const auto found = images_files_.find(id);
    if (found == images_files_.end()) {
      images_error(res, 404, "No such File object: " + id);
      return;
    }
    content = found->second.bytes;
  }
  send_file(id, std::move(content), res);
}

std::string BatchEngine::images_object(Batch& batch) {
  std::lock_guard lock(batch.mutex);
  settle(batch);
  const auto now = Clock::now();
  const bool done = batch.done(now);
  const std::int64_t created = unix_seconds(batch.created);
  const std::int64_t ended =
      unix_seconds(done ? batch.cancelled.value_or(batch.created + batch.plan.delay) : now);
  const char* status = batch.cancelled                              ? "cancelled"
                       : now - batch.created < batch.plan.delay / 4 ? "validating"
                       : !done                                      ? "in_progress"
                       : batch.fate == Batch::Fate::kExpire         ? "expired"
                       : batch.fate == Batch::Fate::kFail           ? "failed"
                                                                    : "completed";
  const auto timestamp = [&](bool reached) { return reached ? json(ended) : json(nullptr); };
  const std::string_view state(status);
  json object = {
      {"id", batch.id},
      {"object", "batch"},
      {"endpoint", batch.endpoint},
      {"errors", nullptr},
      {"input_file_id", batch.input_file},
      {"completion_window", "24h"},
      {"status", status},
      {"output_file_id", batch.output_file.empty() ? json(nullptr) : json(batch.output_file)},
      {"error_file_id", batch.error_file.empty() ? json(nullptr) : json(batch.error_file)},
      {"created_at", created},
      {"in_progress_at", state == "validating" ? json(nullptr) : json(created)},
      {"expires_at", created + std::int64_t{24} * 3600},
      {"finalizing_at", timestamp(state == "completed" || state == "expired")},
      {"completed_at", timestamp(state == "completed")},
      {"failed_at", timestamp(state == "failed")},
      {"expired_at", timestamp(state == "expired")},
      {"cancelling_at", timestamp(state == "cancelled")},
      {"cancelled_at", timestamp(state == "cancelled")},
      {"request_counts",
       {{"total", batch.lines.size()}, {"completed", batch.succeeded}, {"failed", batch.failed}}},
      {"metadata", batch.metadata}};
  if (state == "failed") {
    object["errors"] = {{"object", "list"},
                        {"data", json::array({{{"code", "batch_failed"},
                                               {"message", "The batch could not be run."},
                                               {"param", nullptr},
                                               {"line", nullptr}}})}};
  }
  return object.dump();
}

void BatchEngine::images_create(const httplib::Request& req, httplib::Response& res,
                                const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.value("input_file_id", json()).is_string() ||
      !body.value("endpoint", json()).is_string()) {
    images_error(res, 400, "A batch needs 'input_file_id', 'endpoint' and 'completion_window'.");
    return;
  }
  auto owned = std::make_shared<Batch>();
  Batch& batch = *owned;
  batch.gemini = false;
  batch.endpoint = body["endpoint"].get<std::string>();
  if (batch.endpoint != "/v1/images/generations" && batch.endpoint != "/v1/images/edits") {
    images_error(res, 400, "Unsupported endpoint '" + batch.endpoint + "'.");
    return;
  }
  if (body.value("completion_window", "") != "24h") {
    images_error(res, 400, "'completion_window' must be '24h'.");
    return;
  }
  if (body.contains("metadata") && body["metadata"].is_object()) batch.metadata = body["metadata"];
  batch.input_file = body["input_file_id"].get<std::string>();
  std::string content;
  {
    std::lock_guard lock(mutex_);
    const auto found = images_files_.find(batch.input_file);
    if (found == images_files_.end() || found->second.purpose != "batch") {
      images_error(res, 400, "No batch input file with id '" + batch.input_file + "'.");
      return;
    }
    content = found->second.bytes;
  }
  std::set<std::string> keys;
  std::size_t at = 0;
  int number = 0;
  while (at < content.size()) {
    const std::size_t end = std::min(content.find('\n', at), content.size());
    const json line = json::parse(content.substr(at, end - at), nullptr, false);
    at = end + 1;
    ++number;
    const std::string where = "Line " + std::to_string(number) + ": ";
    if (line.is_discarded() || !line.is_object() || !line.value("custom_id", json()).is_string() ||
        line.value("method", "") != "POST" || !line.contains("body")) {
      images_error(res, 400, where + "each line needs custom_id, method POST, url and body.");
      return;
    }
    if (line.value("url", "") != batch.endpoint) {
      images_error(res, 400, where + "the url must be the batch's endpoint " + batch.endpoint);
      return;
    }
    const std::string key = line["custom_id"].get<std::string>();
    if (!keys.insert(key).second) {
      images_error(res, 400, where + "the custom_id '" + key + "' is used twice.");
      return;
    }
    batch.lines.push_back({key, batch.endpoint, line["body"].dump()});
  }
  if (batch.lines.empty()) {
    images_error(res, 400, "The batch input file has no requests.");
    return;
  }
  const auto kept = add(owned, scenario);
  send_created(*kept, res, images_object(*kept));
}

void BatchEngine::images_get(const std::string& id, httplib::Response& res) {
  const auto batch = find(false, id);
  if (!batch) {
    images_error(res, 404, "No batch with id '" + id + "' found.");
    return;
  }
  res.set_content(images_object(*batch), "application/json");
}

void BatchEngine::images_list(const httplib::Request& req, httplib::Response& res) {
  const std::size_t limit =
      std::clamp<std::size_t>(page_number(req.get_param_value("limit"), 20), 1, 100);
  const std::string after = req.get_param_value("after");
  std::vector<std::shared_ptr<Batch>> newest_first;
  {
    std::lock_guard lock(mutex_);
    for (auto at = batches_.rbegin(); at != batches_.rend(); ++at) {
      if (!(*at)->gemini) newest_first.push_back(*at);
    }
  }
  std::size_t from = 0;
  if (!after.empty()) {
    while (from < newest_first.size() && newest_first[from]->id != after) ++from;
    ++from;
  }
  json data = json::array();
  for (std::size_t i = from; i < std::min(newest_first.size(), from + limit); ++i) {
    data.push_back(json::parse(images_object(*newest_first[i])));
  }
  json page = {{"object", "list"},
               {"data", data},
               {"first_id", data.empty() ? json(nullptr) : data.front()["id"]},
               {"last_id", data.empty() ? json(nullptr) : data.back()["id"]},
               {"has_more", from + limit < newest_first.size()}};
  send_json(res, 200, page);
}

void BatchEngine::images_cancel(const std::string& id, httplib::Response& res) {
  const auto batch = find(false, id);
  if (!batch) {
    images_error(res, 404, "No batch with id '" + id + "' found.");
    return;
  }
  {
    std::lock_guard lock(batch->mutex);
    if (batch->done(Clock::now())) {
      images_error(res, 409, "Cannot cancel a batch that has ended.");
      return;
    }
    batch->cancelled = Clock::now();
  }
  res.set_content(images_object(*batch), "application/json");
}

}  // namespace zantrel::emulator
