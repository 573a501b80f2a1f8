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

host::BatchStatus status_from(const json& batch) {
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

class ImagesBatches final : public host::internal::BatchProtocol {
 public:
  ImagesBatches()
      : BatchProtocol({{"/v1/batches?limit=100", "&after=", "/v1/batches/", "/cancel", "/v1/files/",
                        "/content"},
                       kMaxRequests,
                       kMaxFileBytes,
                       answer_of}) {}

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
    const host::internal::InputFile uploaded =
        co_await host::internal::upload_input(*this, std::move(file), name + ".jsonl", call);
    if (!uploaded.file) {
      co_return host::CreatedBatch{host::CreateFate::kRefused, "", uploaded.refused};
    }
    const json body = {{"input_file_id", uploaded.file->name},
                       {"endpoint", endpoint},
                       {"completion_window", "24h"},
                       {"metadata", {{kNameMember, name}}}};
    const std::string url = call.base_url + "/v1/batches";
    const host::internal::CreateAnswer answer =
        co_await host::internal::try_post_json(call, url, body.dump());
    co_return host::internal::created_by(answer, named_batch);
  }

  host::BatchPage page_of(std::string_view text) const override {
    const json listed = host::internal::json_object_of(text, "the batch list");
    host::BatchPage page;
    for (const json& batch : listed.value("data", json::array())) {
      if (batch.is_object()) page.batches.push_back(status_from(batch));
    }
    if (listed.value("has_more", false) && listed.value("last_id", json()).is_string()) {
      page.next_page = listed["last_id"].get<std::string>();
    }
    return page;
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
    const json file = host::internal::json_answer(response, "the file upload");
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

  host::BatchStatus status_of(std::string_view described, const std::string& id) const override {
    return status_from(host::internal::json_object_of(described, "batch " + id));
  }

  host::internal::BatchOutput output_of(std::string_view described,
                                        const std::string& id) const override {
    const json batch = host::internal::json_object_of(described, "batch " + id);
    host::internal::BatchOutput out;
    for (const char* member : {"output_file_id", "error_file_id"}) {
      const json file = batch.value(member, json());
      if (file.is_string()) out.files.push_back(file.get<std::string>());
    }
    return out;
  }

  void read_inlined(const simdjson::padded_string& /*described*/,
                    const host::internal::AnswerSink& /*each*/) const override {
    // The images API keeps every batch's results in files.
  }
};

}  // namespace

std::shared_ptr<const host::internal::BatchProtocol> images_batches() {
  return std::make_shared<const ImagesBatches>();
}

}  // namespace zantrel::image::corvane::internal
