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

using simdjson::ondemand::object;
using simdjson::ondemand::value;

// A text member, empty when it is none.
std::string text_of(value member) {
  std::string_view text;
  return member.get_string().get(text) == simdjson::SUCCESS ? std::string(text) : std::string();
}

// A whole number the service writes as a string ("12"), or as a number; 0 otherwise.
int count_of(value member) {
  if (member.type() == simdjson::ondemand::json_type::string) {
    return std::atoi(text_of(member).c_str());
  }
  std::int64_t count = 0;
  return member.get_int64().get(count) == simdjson::SUCCESS ? static_cast<int>(count) : 0;
}

// A batch operation's metadata: {"state", "displayName", "createTime", "batchStats"}.
void read_metadata(object metadata, host::BatchStatus& batch) {
  for (auto field : metadata) {
    const std::string_view key = field.unescaped_key();
    if (key == "state") {
      batch.state = text_of(field.value());
    } else if (key == "displayName") {
      batch.name = text_of(field.value());
    } else if (key == "createTime") {
      batch.created = host::parse_rfc3339(text_of(field.value()));
    } else if (key == "batchStats") {
      for (auto stat : field.value().get_object()) {
        const std::string_view name = stat.unescaped_key();
        if (name == "requestCount") {
          batch.total = count_of(stat.value());
        } else if (name == "successfulRequestCount") {
          batch.succeeded = count_of(stat.value());
        } else if (name == "failedRequestCount") {
          batch.failed = count_of(stat.value());
        }
      }
    }
  }
}

// A batch's operation ({"name", "metadata", "error", "response"}) as the service describes it.
// Read as it streams past: its inline results are skipped, never built.
host::BatchStatus status_from(object operation) {
  host::BatchStatus batch;
  for (auto field : operation) {
    const std::string_view key = field.unescaped_key();
    if (key == "name") {
      batch.id = id_of(text_of(field.value()));
    } else if (key == "metadata") {
      read_metadata(field.value().get_object(), batch);
    } else if (key == "error") {
      std::string_view message;
      object error = field.value().get_object();
      if (error["message"].get_string().get(message) == simdjson::SUCCESS) batch.error = message;
    }
  }
  if (batch.state == "BATCH_STATE_SUCCEEDED") {
    batch.phase = host::BatchStatus::Phase::kDone;
  } else if (batch.state == "BATCH_STATE_FAILED" || batch.state == "BATCH_STATE_EXPIRED" ||
             batch.state == "BATCH_STATE_CANCELLED") {
    batch.phase = host::BatchStatus::Phase::kLeft;
  }
  return batch;
}

// Runs `read` over the text's JSON; a text that is not what it expects is the service's fault.
template <class Read>
auto read_json(const simdjson::padded_string& text, const std::string& what, Read read) {
  try {
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc = parser.iterate(text);
    object root = doc.get_object();
    return read(root);
  } catch (const simdjson::simdjson_error& e) {
    throw host::ResponseShapeError(what + ": " + e.what());
  }
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

  host::BatchPage page_of(std::string_view listed) const override {
    return read_json(simdjson::padded_string(listed), "the batch list", [](object& root) {
      host::BatchPage page;
      for (auto field : root) {
        const std::string_view key = field.unescaped_key();
        if (key == "operations") {
          for (auto operation : field.value().get_array()) {
            page.batches.push_back(status_from(operation.get_object()));
          }
        } else if (key == "nextPageToken") {
          page.next_page = text_of(field.value());
        }
      }
      return page;
    });
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

  host::BatchStatus status_of(std::string_view described, const std::string& id) const override {
    return read_json(simdjson::padded_string(described), "batch " + id,
                     [](object& root) { return status_from(root); });
  }

  host::internal::BatchOutput output_of(std::string_view described,
                                        const std::string& id) const override {
    simdjson::padded_string text(described);
    // Where the results are: a file, or inline in this very description (kept as read).
    const auto [file, inlined] =
        read_json(text, "batch " + id, [&](object& root) -> std::pair<std::string, bool> {
          object output;
          if (root["response"].get_object().get(output) != simdjson::SUCCESS) {
            throw host::ResponseShapeError("batch " + id + " ended without naming its results");
          }
          for (auto field : output) {
            const std::string_view key = field.unescaped_key();
            if (key == "inlinedResponses") return {"", true};
            if (key == "responsesFile") return {text_of(field.value()), false};
          }
          return {"", false};
        });
    host::internal::BatchOutput out;
    if (inlined) {
      out.inlined = std::move(text);
    } else if (!file.empty()) {
      out.files.push_back(file);
    } else {
      throw host::ResponseShapeError("batch " + id + " ended without its results");
    }
    return out;
  }

  void read_inlined(const simdjson::padded_string& described,
                    const host::internal::AnswerSink& each) const override {
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc = parser.iterate(described);
    object inlined = doc["response"]["inlinedResponses"].get_object();
    for (auto item : inlined["inlinedResponses"].get_array()) {
      object line = item.get_object();
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
