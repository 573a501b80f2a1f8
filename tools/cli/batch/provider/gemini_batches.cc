// Gemini's batch engine: POST /v1beta/models/{model}:batchGenerateContent, polled at
// GET /v1beta/batches/{id}, results inline in the batch or in a JSONL file downloaded from
// /download/v1beta/{file}:download?alt=media.
#include <simdjson.h>

#include <nlohmann/json.hpp>

#include "tools/cli/batch/provider/api.h"
#include "tools/cli/batch/provider/transfer.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::json;

constexpr std::size_t kMaxFileBytes = std::size_t{2} << 30;  // the Files API's 2 GB
constexpr std::size_t kMaxRequests = 50'000;
constexpr int kMaxListPages = 20;

// The model of a request's path "/v1beta/models/M:generateContent".
std::string model_of(const std::string& path) {
  const std::string prefix = "/v1beta/models/";
  const auto colon = path.rfind(':');
  return path.substr(prefix.size(), colon - prefix.size());
}

// A whole number the service writes as a string ("12"), 0 when absent.
int count_of(simdjson::ondemand::object& stats, std::string_view name) {
  std::string_view text;
  if (stats[name].get_string().get(text) != simdjson::SUCCESS) return 0;
  return std::atoi(std::string(text).c_str());
}

host::CallOptions stopped_by(std::stop_token stop) {
  host::CallOptions options;
  options.stop = std::move(stop);
  return options;
}

// A line of results, inline ({"response"|"error", "metadata": {"key"}}) or in the file
// ({"key", "response"|"error"}): the answer as the request would have had it.
BatchAnswer answer_of(simdjson::ondemand::object& line) {
  BatchAnswer answer;
  for (auto field : line) {
    const std::string_view key = field.unescaped_key();
    if (key == "key") {
      answer.key = field.value().get_string();
    } else if (key == "metadata") {
      simdjson::ondemand::object metadata = field.value().get_object();
      std::string_view named;
      if (metadata["key"].get_string().get(named) == simdjson::SUCCESS) answer.key = named;
    } else if (key == "response") {
      simdjson::ondemand::object response = field.value().get_object();
      answer.body = response.raw_json();
    } else if (key == "error") {
      // The error as the endpoint answers it: {"error": Status}, its code the status.
      simdjson::ondemand::object status_object = field.value().get_object();
      const std::string_view error = status_object.raw_json();
      answer.held = "{\"error\":" + std::string(error) + "}";
      const json status = json::parse(error, nullptr, false);
      const json code = status.is_object() ? status.value("code", json()) : json();
      answer.status = code.is_number_integer() && code.get<int>() >= 400 ? code.get<int>() : 500;
    }
  }
  return answer;
}

class GeminiBatches final : public ProviderBatches {
 public:
  GeminiBatches(const CallSetup& setup, std::size_t inline_limit)
      : setup_(setup), inline_limit_(inline_limit) {
    key_ = setup.dialect == host::Dialect::kDirect
               ? host::Headers::value_type{"x-goog-api-key", setup.access.api_key}
               : host::Headers::value_type{"Authorization", "Bearer " + setup.access.api_key};
  }

  std::size_t max_requests() const override { return kMaxRequests; }
  std::size_t max_bytes() const override { return kMaxFileBytes; }

  std::string create(const std::vector<BatchLine>& lines, const std::string& name) override {
    std::size_t size = 0;
    for (const BatchLine& line : lines) size += line.request.body.size() + line.key.size() + 64;
    std::string input;
    if (size < inline_limit_) {
      // The requests' bodies are JSON already: they go in as text.
      std::string requests;
      requests.reserve(size);
      for (const BatchLine& line : lines) {
        if (!requests.empty()) requests += ',';
        requests += "{\"request\":";
        requests += line.request.text();
        requests += ",\"metadata\":{\"key\":" + json(line.key).dump() + "}}";
      }
      input = "{\"requests\":{\"requests\":[" + requests + "]}}";
    } else {
      std::string file;
      file.reserve(size);
      for (const BatchLine& line : lines) {
        file += "{\"key\":" + json(line.key).dump() + ",\"request\":";
        file += line.request.text();
        file += "}\n";
      }
      const host::UploadedFile uploaded = gemini_client(setup_).upload_file(
          host::as_bytes(file), "application/jsonl", name, stopped_by(setup_.stop));
      input = json{{"fileName", uploaded.name}}.dump();
    }
    const std::string body =
        "{\"batch\":{\"displayName\":" + json(name).dump() + ",\"inputConfig\":" + input + "}}";
    const std::string url = setup_.access.base_url + "/v1beta/models/" +
                            model_of(lines.front().request.path) + ":batchGenerateContent";
    host::HttpResponse response;
    try {
      response = post_json(setup_, url, {key_}, body);
    } catch (const host::Error& e) {
      if (e.failure_kind() == host::FailureKind::kCancelled) throw;
      throw CreateLost(e.what());
    }
    if (response.status_code >= 500 || response.status_code == 429) {
      throw CreateLost(refusal_text(response));
    }
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
    const json answer = json::parse(response.text(), nullptr, false);
    if (!answer.is_object() || !answer.value("name", json()).is_string()) {
      throw CreateLost("the create's answer names no batch");
    }
    return id_of(answer["name"].get<std::string>());
  }

  std::optional<std::string> find(const std::string& name) override {
    std::string token;
    for (int page = 0; page < kMaxListPages; ++page) {
      std::string url = setup_.access.base_url + "/v1beta/batches?pageSize=100";
      if (!token.empty()) url += "&pageToken=" + token;
      const host::HttpResponse response = get(setup_, url, {key_});
      if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
      const json listed = json::parse(response.text(), nullptr, false);
      if (!listed.is_object()) return std::nullopt;
      for (const json& operation : listed.value("operations", json::array())) {
        const json metadata = operation.value("metadata", json::object());
        if (metadata.is_object() && metadata.value("displayName", "") == name) {
          return id_of(operation.value("name", ""));
        }
      }
      token = listed.value("nextPageToken", "");
      if (token.empty()) return std::nullopt;
    }
    return std::nullopt;
  }

  RemoteBatch poll(const std::string& id) override {
    const simdjson::padded_string text = described(id);
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc = parser.iterate(text);
    RemoteBatch batch;
    simdjson::ondemand::object metadata = doc["metadata"].get_object();
    std::string_view state;
    if (metadata["state"].get_string().get(state) == simdjson::SUCCESS) batch.state = state;
    simdjson::ondemand::object stats;
    if (metadata["batchStats"].get_object().get(stats) == simdjson::SUCCESS) {
      batch.total = count_of(stats, "requestCount");
      batch.succeeded = count_of(stats, "successfulRequestCount");
      batch.failed = count_of(stats, "failedRequestCount");
    }
    std::string_view created;
    if (metadata["createTime"].get_string().get(created) == simdjson::SUCCESS) {
      batch.created = host::parse_rfc3339(created);
    }
    simdjson::ondemand::object error;
    if (doc["error"].get_object().get(error) == simdjson::SUCCESS) {
      std::string_view message;
      if (error["message"].get_string().get(message) == simdjson::SUCCESS) batch.error = message;
    }
    if (batch.state == "BATCH_STATE_SUCCEEDED") {
      batch.phase = RemoteBatch::Phase::kDone;
    } else if (batch.state == "BATCH_STATE_FAILED" || batch.state == "BATCH_STATE_EXPIRED" ||
               batch.state == "BATCH_STATE_CANCELLED") {
      batch.phase = RemoteBatch::Phase::kLeft;
    }
    return batch;
  }

  void results(const std::string& id, const std::filesystem::path& scratch,
               const std::function<void(const BatchAnswer&)>& each) override {
    const simdjson::padded_string text = described(id);
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc = parser.iterate(text);
    simdjson::ondemand::object output;
    if (doc["response"].get_object().get(output) != simdjson::SUCCESS) {
      throw std::runtime_error("batch " + id + " ended without naming its results");
    }
    std::string_view file;
    simdjson::ondemand::object inlined;
    for (auto field : output) {
      const std::string_view key = field.unescaped_key();
      if (key == "responsesFile") {
        file = field.value().get_string();
      } else if (key == "inlinedResponses") {
        inlined = field.value().get_object();
        for (auto item : inlined["inlinedResponses"].get_array()) {
          simdjson::ondemand::object line = item.get_object();
          each(answer_of(line));
        }
        return;
      }
    }
    if (file.empty()) throw std::runtime_error("batch " + id + " ended without its results");
    download(
        setup_,
        setup_.access.base_url + "/download/v1beta/" + std::string(file) + ":download?alt=media",
        {key_}, scratch);
    read_gemini_results(scratch, each);
    std::filesystem::remove(scratch);
  }

  void cancel(const std::string& id) override {
    const host::HttpResponse response = post_json(
        setup_, setup_.access.base_url + "/v1beta/batches/" + id + ":cancel", {key_}, "{}");
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
  }

 private:
  // The batch's resource as the service describes it now, ready for the JSON reader.
  simdjson::padded_string described(const std::string& id) const {
    const host::HttpResponse response =
        get(setup_, setup_.access.base_url + "/v1beta/batches/" + id, {key_});
    if (response.status_code != 200) throw std::runtime_error(refusal_text(response));
    return simdjson::padded_string(response.text());
  }

  static std::string id_of(const std::string& name) {
    return name.starts_with("batches/") ? name.substr(8) : name;
  }

  CallSetup setup_;
  std::size_t inline_limit_;
  host::Headers::value_type key_;
};

}  // namespace

void read_gemini_results(const std::filesystem::path& path,
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

std::unique_ptr<ProviderBatches> gemini_batches(const CallSetup& setup,
                                                std::size_t inline_limit_bytes) {
  return std::make_unique<GeminiBatches>(setup, inline_limit_bytes);
}

}  // namespace zantrel::cli
