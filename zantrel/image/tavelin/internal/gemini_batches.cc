#include "zantrel/image/tavelin/internal/gemini_batches.h"

#include <simdjson.h>

#include <cstdlib>
#include <exception>

#include <nlohmann/json.hpp>

#include "zantrel/host/call/batch_transfer.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/internal/codec/json_reading.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/image/tavelin/internal/file_upload.h"

namespace zantrel::image::tavelin::internal {
namespace {

using host::internal::BatchCall;
using host::internal::Task;
using json = nlohmann::json;

constexpr std::size_t kMaxFileBytes = std::size_t{2} << 30;  // the Files API's 2 GB
constexpr std::size_t kMaxRequests = 50'000;

// The model of a request's path "/v1beta/models/M:generateContent".
std::string model_of(const std::string& path) {
  const std::string prefix = "/v1beta/models/";
  const auto colon = path.rfind(':');
  return path.substr(prefix.size(), colon - prefix.size());
}

std::string id_of(const std::string& name) {
  return name.starts_with("batches/") ? name.substr(8) : name;
}

// The batch a create's answer names ({"name": "batches/ID", ...}), empty when none.
std::string named_batch(const json& answer) {
  const json named = answer.value("name", json());
  return named.is_string() ? id_of(named.get<std::string>()) : std::string();
}

// A whole number the service writes as a string ("12"), 0 when absent.
int count_of(const json& stats, const char* name) {
  const json value = stats.value(name, json());
  if (value.is_string()) return std::atoi(value.get<std::string>().c_str());
  return value.is_number_integer() ? value.get<int>() : 0;
}

// A batch's operation ({"name", "metadata": {"state", "batchStats", "createTime",
// "displayName"}, "error"}) as the service describes it.
host::BatchStatus status_from(const json& operation) {
  host::BatchStatus batch;
  batch.id = id_of(operation.value("name", ""));
  const json metadata = operation.value("metadata", json::object());
  if (metadata.is_object()) {
    batch.state = metadata.value("state", "");
    batch.name = metadata.value("displayName", "");
    const json stats = metadata.value("batchStats", json::object());
    if (stats.is_object()) {
      batch.total = count_of(stats, "requestCount");
      batch.succeeded = count_of(stats, "successfulRequestCount");
      batch.failed = count_of(stats, "failedRequestCount");
    }
    const json created = metadata.value("createTime", json());
    if (created.is_string()) batch.created = host::parse_rfc3339(created.get<std::string>());
  }
  const json error = operation.value("error", json());
  if (error.is_object() && error.value("message", json()).is_string()) {
    batch.error = error["message"].get<std::string>();
  }
  if (batch.state == "BATCH_STATE_SUCCEEDED") {
    batch.phase = host::BatchStatus::Phase::kDone;
  } else if (batch.state == "BATCH_STATE_FAILED" || batch.state == "BATCH_STATE_EXPIRED" ||
             batch.state == "BATCH_STATE_CANCELLED") {
    batch.phase = host::BatchStatus::Phase::kLeft;
  }
  return batch;
}

// A line of results, inline ({"response"|"error", "metadata": {"key"}}) or in the file
// ({"key", "response"|"error"}): the answer as the request would have had it.
host::BatchAnswer answer_of(simdjson::ondemand::object& line) {
  host::BatchAnswer answer;
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

class GeminiBatches final : public host::internal::BatchProtocol {
 public:
  explicit GeminiBatches(std::size_t inline_limit)
      : BatchProtocol({{"/v1beta/batches?pageSize=100", "&pageToken=", "/v1beta/batches/",
                        ":cancel", "/download/v1beta/", ":download?alt=media"},
                       kMaxRequests,
                       kMaxFileBytes,
                       answer_of}),
        inline_limit_(inline_limit) {}

  Task<host::CreatedBatch> create(const std::vector<host::BatchLine>& lines,
                                  const std::string& name, const BatchCall& call) const override {
    std::size_t size = 0;
    for (const host::BatchLine& line : lines)
      size += line.request.body.size() + line.key.size() + 64;
    std::string input;
    if (size < inline_limit_) {
      // The requests' bodies are JSON already: they go in as text.
      std::string requests;
      requests.reserve(size);
      for (const host::BatchLine& line : lines) {
        if (!requests.empty()) requests += ',';
        requests += "{\"request\":";
        requests += line.request.text();
        requests += ",\"metadata\":{\"key\":" + json(line.key).dump() + "}}";
      }
      input = "{\"requests\":{\"requests\":[" + requests + "]}}";
    } else {
      std::string file;
      file.reserve(size);
      for (const host::BatchLine& line : lines) {
        file += "{\"key\":" + json(line.key).dump() + ",\"request\":";
        file += line.request.text();
        file += "}\n";
      }
      const host::internal::InputFile uploaded =
          co_await host::internal::upload_input(*this, std::move(file), name, call);
      if (!uploaded.file) {
        co_return host::CreatedBatch{host::CreateFate::kRefused, "", uploaded.refused};
      }
      input = json{{"fileName", uploaded.file->name}}.dump();
    }
    const std::string body =
        "{\"batch\":{\"displayName\":" + json(name).dump() + ",\"inputConfig\":" + input + "}}";
    const std::string url = call.base_url + "/v1beta/models/" +
                            model_of(lines.front().request.path) + ":batchGenerateContent";
    const host::internal::CreateAnswer answer =
        co_await host::internal::try_post_json(call, url, body);
    co_return host::internal::created_by(answer, named_batch);
  }

  host::BatchPage page_of(const json& listed) const override {
    host::BatchPage page;
    for (const json& operation : listed.value("operations", json::array())) {
      if (operation.is_object()) page.batches.push_back(status_from(operation));
    }
    page.next_page = listed.value("nextPageToken", "");
    return page;
  }

  Task<host::UploadedFile> upload(host::ByteView bytes, const std::string& mime_type,
                                  const std::string& display_name,
                                  const BatchCall& call) const override {
    // Named, not a temporary: the upload's steps hold on to it while they wait.
    const UploadTarget target{call.base_url, call.auth, call.timeout};
    FileToUpload file{bytes, mime_type, display_name};
    UploadOutcome outcome = co_await upload_file(target, std::move(file), call.exchange);
    if (!outcome.file) {
      throw host::ServiceRefused(
          outcome.status_code,
          "the Files API refused the upload (HTTP " + std::to_string(outcome.status_code) + "): " +
              host::internal::read_error_body(outcome.error_body, outcome.status_code)
                  .message.value_or("no text"));
    }
    co_return std::move(*outcome.file);
  }

  host::BatchStatus status_of(const json& described) const override {
    return status_from(described);
  }

  host::internal::BatchOutput output_of(const json& batch, std::string_view text,
                                        const std::string& id) const override {
    const json output = batch.value("response", json());
    if (!output.is_object()) {
      throw host::ResponseShapeError("batch " + id + " ended without naming its results");
    }
    host::internal::BatchOutput out;
    if (output.contains("inlinedResponses")) {
      out.inlined = std::string(text);
    } else if (output.value("responsesFile", json()).is_string()) {
      out.files.push_back(output["responsesFile"].get<std::string>());
    } else {
      throw host::ResponseShapeError("batch " + id + " ended without its results");
    }
    return out;
  }

  void read_inlined(std::string_view described_text,
                    const host::internal::AnswerSink& each) const override {
    const simdjson::padded_string text(described_text);
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc = parser.iterate(text);
    simdjson::ondemand::object inlined = doc["response"]["inlinedResponses"].get_object();
    for (auto item : inlined["inlinedResponses"].get_array()) {
      simdjson::ondemand::object line = item.get_object();
      each(answer_of(line));
    }
  }

 private:
  std::size_t inline_limit_;
};

}  // namespace

std::shared_ptr<const host::internal::BatchProtocol> gemini_batches(
    std::size_t inline_limit_bytes) {
  return std::make_shared<const GeminiBatches>(inline_limit_bytes);
}

}  // namespace zantrel::image::tavelin::internal
