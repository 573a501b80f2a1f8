#include "tools/emulator/images/batches.h"

#include <algorithm>
#include <set>

#include <nlohmann/json.hpp>

#include "tools/emulator/wire_errors.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using Clock = Batch::Clock;

constexpr const char* kExpiredText =
    "This request could not be executed before the completion window expired.";

void not_found(httplib::Response& res, const std::string& id) {
  send_images_error(res, 404, "No batch with id '" + id + "' found.");
}

const char* status_of(const Batch& batch, Clock::time_point now) {
  if (batch.cancelled) return "cancelled";
  if (now - batch.created < batch.plan.delay / 4) return "validating";
  if (!batch.done(now)) return "in_progress";
  if (batch.fate == Batch::Fate::kExpire) return "expired";
  if (batch.fate == Batch::Fate::kFail) return "failed";
  return "completed";
}

// The batch's requests from the lines of its input file; the refusal's text when one is not a
// request of the batch's endpoint.
std::string read_input(const std::string& content, Batch& batch) {
  std::set<std::string> keys;
  int number = 0;
  std::string refusal;
  each_json_line(content, [&](const json& line) {
    const std::string where = "Line " + std::to_string(++number) + ": ";
    if (line.is_discarded() || !line.is_object() || !line.value("custom_id", json()).is_string() ||
        line.value("method", "") != "POST" || !line.contains("body")) {
      refusal = where + "each line needs custom_id, method POST, url and body.";
    } else if (line.value("url", "") != batch.endpoint) {
      refusal = where + "the url must be the batch's endpoint " + batch.endpoint;
    } else if (const std::string key = line["custom_id"].get<std::string>();
               !keys.insert(key).second) {
      refusal = where + "the custom_id '" + key + "' is used twice.";
    } else {
      batch.lines.push_back({key, batch.endpoint, line["body"].dump()});
    }
    return refusal.empty();
  });
  if (refusal.empty() && batch.lines.empty()) return "The batch input file has no requests.";
  return refusal;
}

}  // namespace

void ImagesBatches::keep_results(Batch& batch) {
  // An expired batch ran the first half of its requests.
  const std::size_t run =
      batch.fate == Batch::Fate::kExpire ? batch.lines.size() / 2 : batch.lines.size();
  if (!engine_.run_due(batch, run)) return;
  std::string output, errors;
  for (std::size_t i = 0; i < batch.lines.size(); ++i) {
    const std::string key = json(batch.lines[i].key).dump();
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
  const auto keep = [&](std::string content) {
    return files_.keep({"batch_" + batch.id + "_output.jsonl", "batch_output", std::move(content),
                        unix_seconds(Clock::now())});
  };
  if (!output.empty()) batch.output_file = keep(std::move(output));
  if (!errors.empty()) batch.error_file = keep(std::move(errors));
  if (batch.plan.cut_results && !batch.output_file.empty()) {
    engine_.cut_next_download(batch.output_file);
  }
}

std::string ImagesBatches::object(Batch& batch) {
  std::lock_guard lock(batch.mutex);
  keep_results(batch);
  const auto now = Clock::now();
  const bool done = batch.done(now);
  const std::int64_t created = unix_seconds(batch.created);
  const std::int64_t ended =
      unix_seconds(done ? batch.cancelled.value_or(batch.created + batch.plan.delay) : now);
  const std::string_view state = status_of(batch, now);
  const auto timestamp = [&](bool reached) { return reached ? json(ended) : json(nullptr); };
  json described = {
      {"id", batch.id},
      {"object", "batch"},
      {"endpoint", batch.endpoint},
      {"errors", nullptr},
      {"input_file_id", batch.input_file},
      {"completion_window", "24h"},
      {"status", state},
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
    described["errors"] = {{"object", "list"},
                           {"data", json::array({{{"code", "batch_failed"},
                                                  {"message", "The batch could not be run."},
                                                  {"param", nullptr},
                                                  {"line", nullptr}}})}};
  }
  return described.dump();
}

void ImagesBatches::create(const httplib::Request& req, httplib::Response& res,
                           const Scenario& scenario) {
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.value("input_file_id", json()).is_string() ||
      !body.value("endpoint", json()).is_string()) {
    send_images_error(res, 400,
                      "A batch needs 'input_file_id', 'endpoint' and 'completion_window'.");
    return;
  }
  auto batch = std::make_shared<Batch>();
  batch->api = Api::kImages;
  batch->endpoint = body["endpoint"].get<std::string>();
  if (batch->endpoint != "/v1/images/generations" && batch->endpoint != "/v1/images/edits") {
    send_images_error(res, 400, "Unsupported endpoint '" + batch->endpoint + "'.");
    return;
  }
  if (body.value("completion_window", "") != "24h") {
    send_images_error(res, 400, "'completion_window' must be '24h'.");
    return;
  }
  if (body.contains("metadata") && body["metadata"].is_object()) batch->metadata = body["metadata"];
  batch->input_file = body["input_file_id"].get<std::string>();
  const auto input = files_.find(batch->input_file);
  if (!input || input->purpose != "batch") {
    send_images_error(res, 400, "No batch input file with id '" + batch->input_file + "'.");
    return;
  }
  if (const std::string refusal = read_input(input->bytes, *batch); !refusal.empty()) {
    send_images_error(res, 400, refusal);
    return;
  }
  engine_.admit(batch, scenario, res, [this](Batch& kept) { return object(kept); });
}

void ImagesBatches::get(const std::string& id, httplib::Response& res) {
  engine_.describe(
      Api::kImages, id, res, [this](Batch& batch) { return object(batch); },
      [&](httplib::Response& answer) { not_found(answer, id); });
}

void ImagesBatches::list(const httplib::Request& req, httplib::Response& res) {
  const std::size_t limit =
      std::clamp<std::size_t>(page_number(req.get_param_value("limit"), 20), 1, 100);
  const std::string after = req.get_param_value("after");
  const auto newest_first = engine_.newest_first(Api::kImages);
  std::size_t from = 0;
  if (!after.empty()) {
    while (from < newest_first.size() && newest_first[from]->id != after) ++from;
    ++from;
  }
  json data = json::array();
  for (std::size_t i = from; i < std::min(newest_first.size(), from + limit); ++i) {
    data.push_back(json::parse(object(*newest_first[i])));
  }
  json page = {{"object", "list"},
               {"data", data},
               {"first_id", data.empty() ? json(nullptr) : data.front()["id"]},
               {"last_id", data.empty() ? json(nullptr) : data.back()["id"]},
               {"has_more", from + limit < newest_first.size()}};
  send_json(res, 200, page);
}

void ImagesBatches::cancel(const std::string& id, httplib::Response& res) {
  const auto batch = engine_.find(Api::kImages, id);
  if (!batch) {
    not_found(res, id);
    return;
  }
  {
    std::lock_guard lock(batch->mutex);
    if (batch->done(Clock::now())) {
      send_images_error(res, 409, "Cannot cancel a batch that has ended.");
      return;
    }
    batch->cancelled = Clock::now();
  }
  res.set_content(object(*batch), "application/json");
}

}  // namespace zantrel::emulator
