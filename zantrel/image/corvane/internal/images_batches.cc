#include "zantrel/image/corvane/internal/images_batches.h"

#include <simdjson.h>

#include <nlohmann/json.hpp>

#include "zantrel/host/call/batch_transfer.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::image::corvane::internal {
namespace {

using host::internal::BatchCall;
using host::internal::Task;
using json = nlohmann::json;

constexpr std::size_t kMaxRequests = 50'000;
constexpr std::size_t kMaxFileBytes = std::size_t{200} << 20;  // 200 MB
// The batch's metadata member that carries the name it was made under.
constexpr const char* kNameMember = "zantrel_batch";
// What the file store keeps a batch's input for.
constexpr auto kKeptFor = std::chrono::hours(24 * 30);

// {"custom_id", "response": {"status_code", "body"} | null, "error": {"code", "message"} |
// null}: the request's answer, or none when the batch ended before it ran.
host::BatchAnswer answer_of(simdjson::ondemand::object& line) {
  host::BatchAnswer answer;
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

// The batch a create's answer names ({"id": ...}), empty when none.
std::string named_batch(const json& answer) {
  const json id = answer.value("id", json());
  return id.is_string() ? id.get<std::string>() : std::string();
}

bool names_file(const json& batch) {
  return batch.value("output_file_id", json()).is_string() ||
         batch.value("error_file_id", json()).is_string();
}

host::BatchStatus status_of(const json& batch) {
  host::BatchStatus status;
  status.id = batch.value("id", "");
  status.state = batch.value("status", "");
  const json metadata = batch.value("metadata", json());
  if (metadata.is_object()) status.name = metadata.value(kNameMember, "");
  const json counts = batch.value("request_counts", json::object());
  if (counts.is_object()) {
    status.total = counts.value("total", 0);
    status.succeeded = counts.value("completed", 0);
    status.failed = counts.value("failed", 0);
  }
  if (batch.value("created_at", json()).is_number_integer()) {
    status.created = std::chrono::system_clock::from_time_t(batch["created_at"].get<long>());
  }
  const json errors = batch.value("errors", json());
  if (errors.is_object() && errors.value("data", json()).is_array() && !errors["data"].empty()) {
    status.error = errors["data"][0].value("message", "");
  }
  if (status.state == "completed" ||
      ((status.state == "expired" || status.state == "cancelled") && names_file(batch))) {
    status.phase = host::BatchStatus::Phase::kDone;
  } else if (status.state == "failed" || status.state == "expired" || status.state == "cancelled") {
    status.phase = host::BatchStatus::Phase::kLeft;
  }
  return status;
}

json described(const host::HttpResponse& response, const std::string& what) {
  host::internal::require_status(response);
  json batch = json::parse(response.text(), nullptr, false);
  if (!batch.is_object()) throw host::ResponseShapeError(what + ": the answer is not JSON");
  return batch;
}

class ImagesBatches final : public host::internal::BatchProtocol {
 public:
  std::size_t max_requests() const override { return kMaxRequests; }
  std::size_t max_bytes() const override { return kMaxFileBytes; }

  Task<host::CreatedBatch> create(const std::vector<host::BatchLine>& lines,
                                  const std::string& name, const BatchCall& call) const override {
    const std::string& endpoint = lines.front().request.path;
    std::string file;
    for (const host::BatchLine& line : lines) {
      file += "{\"custom_id\":" + json(line.key).dump() +
              ",\"method\":\"POST\",\"url\":" + json(line.request.path).dump() + ",\"body\":";
      file += line.request.text();
      file += "}\n";
    }
    std::optional<host::UploadedFile> uploaded;
    std::string refused;
    try {
      const std::string mime_type = "application/jsonl";
      const std::string file_name = name + ".jsonl";
      uploaded = co_await upload(host::as_bytes(file), mime_type, file_name, call);
    } catch (const host::ServiceRefused& e) {
      refused = std::string("the batch's file was refused: ") + e.what();
    } catch (const host::Error& e) {
      // Nothing is made before the create is sent; a stop leaves the batch to a later run.
      const auto kind = e.failure_kind();
      if (kind == host::FailureKind::kCancelled || kind == host::FailureKind::kDeadlineExceeded) {
        throw;
      }
      refused = e.what();
    }
    if (!uploaded) co_return host::CreatedBatch{host::CreateFate::kRefused, "", refused};
    const json body = {{"input_file_id", uploaded->name},
                       {"endpoint", endpoint},
                       {"completion_window", "24h"},
                       {"metadata", {{kNameMember, name}}}};
    const std::string url = call.base_url + "/v1/batches";
    const host::internal::CreateAnswer answer =
        co_await host::internal::try_post_json(call, url, body.dump());
    co_return host::internal::created_by(answer, named_batch);
  }

  Task<host::BatchStatus> get(const std::string& id, const BatchCall& call) const override {
    const std::string url = call.base_url + "/v1/batches/" + id;
    const host::HttpResponse response = co_await host::internal::get(call, url);
    co_return status_of(described(response, "batch " + id));
  }

  Task<host::BatchPage> list(const std::string& page_token, const BatchCall& call) const override {
    std::string url = call.base_url + "/v1/batches?limit=100";
    if (!page_token.empty()) url += "&after=" + page_token;
    const host::HttpResponse response = co_await host::internal::get(call, url);
    const json listed = described(response, "the batch list");
    host::BatchPage page;
    for (const json& batch : listed.value("data", json::array())) {
      if (batch.is_object()) page.batches.push_back(status_of(batch));
    }
    if (listed.value("has_more", false) && listed.value("last_id", json()).is_string()) {
      page.next_page = listed["last_id"].get<std::string>();
    }
    co_return page;
  }

  Task<bool> cancel(const std::string& id, const BatchCall& call) const override {
    const std::string url = call.base_url + "/v1/batches/" + id + "/cancel";
    const host::HttpResponse response = co_await host::internal::post_json(call, url, "{}");
    host::internal::require_status(response);
    co_return true;
  }

  Task<host::UploadedFile> upload(host::ByteView bytes, const std::string& mime_type,
                                  const std::string& display_name,
                                  const BatchCall& call) const override {
    host::Form form;
    form.fields.push_back({"purpose", "batch"});
    form.files.push_back({"file", display_name, mime_type, bytes});
    const std::string url = call.base_url + "/v1/files";
    const host::HttpResponse response =
        co_await host::internal::post_form(call, url, std::move(form));
    const json file = described(response, "the file upload");
    if (!file.value("id", json()).is_string()) {
      throw host::ResponseShapeError("the file upload's answer names no file");
    }
    host::UploadedFile out;
    out.name = file["id"].get<std::string>();
    out.mime_type = mime_type;
    const json expires = file.value("expires_at", json());
    out.expires = expires.is_number_integer()
                      ? std::chrono::system_clock::from_time_t(expires.get<long>())
                      : std::chrono::system_clock::now() + kKeptFor;
    co_return out;
  }

  Task<host::internal::BatchOutput> output(const std::string& id,
                                           const BatchCall& call) const override {
    const std::string url = call.base_url + "/v1/batches/" + id;
    const host::HttpResponse response = co_await host::internal::get(call, url);
    const json batch = described(response, "batch " + id);
    host::internal::BatchOutput out;
    for (const char* member : {"output_file_id", "error_file_id"}) {
      const json file = batch.value(member, json());
      if (file.is_string()) out.files.push_back(file.get<std::string>());
    }
    co_return out;
  }

  std::string download_url(const std::string& base_url, const std::string& file) const override {
    return base_url + "/v1/files/" + file + "/content";
  }

  void read_results_file(const std::filesystem::path& path, const host::internal::AnswerSink& each,
                         const host::internal::UnreadableSink& unreadable) const override {
    // The parser outlives each answer: the keys it unescaped are views into it.
    simdjson::ondemand::parser parser;
    host::internal::each_answer_line(
        path,
        [&](std::string_view text) {
          simdjson::ondemand::document doc =
              parser.iterate(text.data(), text.size(), text.size() + host::internal::kLinePadding);
          simdjson::ondemand::object line = doc.get_object();
          return answer_of(line);
        },
        each, unreadable);
  }

  void read_inlined(std::string_view /*described*/,
                    const host::internal::AnswerSink& /*each*/) const override {
    // The images API keeps every batch's results in files.
  }
};

}  // namespace

std::shared_ptr<const host::internal::BatchProtocol> images_batches() {
  return std::make_shared<const ImagesBatches>();
}

}  // namespace zantrel::image::corvane::internal
