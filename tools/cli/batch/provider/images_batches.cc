// The images API's batch engine: a JSONL file posted to /v1/files (purpose "batch"), a batch
// made of it at /v1/batches, polled at /v1/batches/{id}; its output and error files read from
// /v1/files/{id}/content.
#include <simdjson.h>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/provider/api.h"
#include "tools/cli/batch/provider/transfer.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxRequests = 50'000;
constexpr std::size_t kMaxFileBytes = std::size_t{200} << 20;  // 200 MB
constexpr int kMaxListPages = 20;
// The batch's metadata member that carries the runner's name of it.
constexpr const char* kNameMember = "zantrel_batch";

// {"custom_id", "response": {"status_code", "body"} | null, "error": {"code", "message"} |
// null}: the request's answer, or none when the batch ended before it ran.
BatchAnswer answer_of(simdjson::ondemand::object& line) {
  BatchAnswer answer;
  answer.answered = false;
  for (auto field : line) {
    const std::string_view key = field.unescaped_key();
    simdjson::ondemand::value value = field.value();
    if (key == "custom_id") {
      answer.key = value.get_string();
    } else if (key == "response" && !value.is_null()) {
      simdjson::ondemand::object response = value.get_object();
      for (auto part : response) {
        const std::string_view name = part.unescaped_key();
        if (name == "status_code") {
          answer.status = static_cast<int>(part.value().get_int64());
        } else if (name == "body") {
          simdjson::ondemand::value body = part.value();
          if (body.type() == simdjson::ondemand::json_type::object) {
            simdjson::ondemand::object object = body.get_object();
            answer.body = object.raw_json();
          }
          answer.answered = true;
        }
      }
    } else if (key == "error" && !value.is_null() && !answer.answered) {
      // Without a response: the batch ended first (expired, cancelled), or the line was
      // never a request the endpoint could take.
      simdjson::ondemand::object error_object = value.get_object();
      const std::string_view error = error_object.raw_json();
      const json parsed = json::parse(error, nullptr, false);
      const std::string code = parsed.is_object() ? parsed.value("code", "") : "";
      if (code == "batch_expired" || code == "batch_cancelled") continue;
      answer.answered = true;
      answer.status = 400;
      answer.held = "{\"error\":" + std::string(error) + "}";
    }
  }
  return answer;
}

class ImagesBatches final : public ProviderBatches {
 public:
  explicit ImagesBatches(const CallSetup& setup)
      : setup_(setup), key_{"Authorization", "Bearer " + setup.access.api_key} {}

  std::size_t max_requests() const override { return kMaxRequests; }
  std::size_t max_bytes() const override { return kMaxFileBytes; }

  std::string create(const std::vector<BatchLine>& lines, const std::string& name) override {
    const std::string& endpoint = lines.front().request.path;
    std::string file;
    for (const BatchLine& line : lines) {
      file += "{\"custom_id\":" + json(line.key).dump() +
              ",\"method\":\"POST\",\"url\":" + json(line.request.path).dump() + ",\"body\":";
      file += line.request.text();
      file += "}\n";
    }
    host::Form form;
    form.fields.push_back({"purpose", "batch"});
    form.files.push_back({"file", name + ".jsonl", "application/jsonl", host::as_bytes(file)});
    const host::HttpResponse uploaded = post_form(setup_, url("/v1/files"), {key_}, form);
    if (uploaded.status_code != 200) {
      throw std::runtime_error("the batch's file was refused: " + refusal_text(uploaded));
    }
    const json described = json::parse(uploaded.text(), nullptr, false);
    if (!described.is_object() || !described.value("id", json()).is_string()) {
      throw std::runtime_error("the file upload's answer names no file");
    }
    const json body = {{"input_file_id", described["id"]},
                       {"endpoint", endpoint},
                       {"completion_window", "24h"},
                       {"metadata", {{kNameMember, name}}}};
    host::HttpResponse response;
    try {
      response = post_json(setup_, url("/v1/batches"), {key_}, body.dump());
    } catch (const host::Error& e) {
      if (e.failure_kind() == host::FailureKind::kCancelled) throw;
      throw CreateLost(e.what());
    }
    if (response.status_code >= 500 || response.status_code == 429) {
      throw CreateLost(refusal_text(response));
    }
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
    const json answer = json::parse(response.text(), nullptr, false);
    if (!answer.is_object() || !answer.value("id", json()).is_string()) {
      throw CreateLost("the create's answer names no batch");
    }
    return answer["id"].get<std::string>();
  }

  std::optional<std::string> find(const std::string& name) override {
    std::string after;
    for (int page = 0; page < kMaxListPages; ++page) {
      std::string path = "/v1/batches?limit=100";
      if (!after.empty()) path += "&after=" + after;
      const host::HttpResponse response = get(setup_, url(path), {key_});
      if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
      const json listed = json::parse(response.text(), nullptr, false);
      if (!listed.is_object()) return std::nullopt;
      for (const json& batch : listed.value("data", json::array())) {
        const json metadata = batch.value("metadata", json::object());
        if (metadata.is_object() && metadata.value(kNameMember, "") == name) {
          return batch.value("id", "");
        }
      }
      if (!listed.value("has_more", false) || !listed.value("last_id", json()).is_string()) {
        return std::nullopt;
      }
      after = listed["last_id"].get<std::string>();
    }
    return std::nullopt;
  }

  RemoteBatch poll(const std::string& id) override {
    const json batch = described(id);
    RemoteBatch remote;
    remote.state = batch.value("status", "");
    const json counts = batch.value("request_counts", json::object());
    if (counts.is_object()) {
      remote.total = counts.value("total", 0);
      remote.succeeded = counts.value("completed", 0);
      remote.failed = counts.value("failed", 0);
    }
    if (batch.value("created_at", json()).is_number_integer()) {
      remote.created = std::chrono::system_clock::from_time_t(batch["created_at"].get<long>());
    }
    const json errors = batch.value("errors", json());
    if (errors.is_object() && errors.value("data", json()).is_array() && !errors["data"].empty()) {
      remote.error = errors["data"][0].value("message", "");
    }
    const bool has_results = batch.value("output_file_id", json()).is_string() ||
                             batch.value("error_file_id", json()).is_string();
    if (remote.state == "completed" ||
        ((remote.state == "expired" || remote.state == "cancelled") && has_results)) {
      remote.phase = RemoteBatch::Phase::kDone;
    } else if (remote.state == "failed" || remote.state == "expired" ||
               remote.state == "cancelled") {
      remote.phase = RemoteBatch::Phase::kLeft;
    }
    return remote;
  }

  void results(const std::string& id, const std::filesystem::path& scratch,
               const std::function<void(const BatchAnswer&)>& each) override {
    const json batch = described(id);
    for (const char* member : {"output_file_id", "error_file_id"}) {
      const json file = batch.value(member, json());
      if (!file.is_string()) continue;
      download(setup_, url("/v1/files/" + file.get<std::string>() + "/content"), {key_}, scratch);
      read_images_results(scratch, each);
      std::filesystem::remove(scratch);
    }
  }

  void cancel(const std::string& id) override {
    const host::HttpResponse response =
        post_json(setup_, url("/v1/batches/" + id + "/cancel"), {key_}, "{}");
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
  }

 private:
  std::string url(const std::string& path) const { return setup_.access.base_url + path; }

  json described(const std::string& id) const {
    const host::HttpResponse response = get(setup_, url("/v1/batches/" + id), {key_});
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
    json batch = json::parse(response.text(), nullptr, false);
    if (!batch.is_object()) throw std::runtime_error("batch " + id + ": the answer is not JSON");
    return batch;
  }

  CallSetup setup_;
  host::Headers::value_type key_;
};

}  // namespace

void read_images_results(const std::filesystem::path& path,
                         const std::function<void(const BatchAnswer&)>& each) {
  // The parser outlives each answer: the keys it unescaped are views into it.
  simdjson::ondemand::parser parser;
  each_answer_line(
      path,
      [&](std::string_view text) {
        simdjson::ondemand::document doc =
            parser.iterate(text.data(), text.size(), text.size() + kLinePadding);
        simdjson::ondemand::object line = doc.get_object();
        return answer_of(line);
      },
      each);
}

std::unique_ptr<ProviderBatches> images_batches(const CallSetup& setup) {
  return std::make_unique<ImagesBatches>(setup);
}

}  // namespace zantrel::cli
