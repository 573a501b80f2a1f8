#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/emulator/batch_plan.h"
#include "tools/emulator/file_store.h"
#include "tools/emulator/scenario.h"

namespace zantrel::emulator {

// One request of a batch as the emulator's own endpoints answer it.
struct InnerAnswer {
  int status = 200;
  std::string body;
  std::string request_id;
};
// Answers the request `body` to `path` ("/v1beta/models/M:generateContent", "/v1/images/edits")
// under `scenario`.
using AnswerRequest =
    std::function<InnerAnswer(const std::string& path, const std::string& body, const Scenario&)>;

// Both services' batch engines and the images API's files:
//   POST /v1beta/models/{model}:batchGenerateContent   inline requests or a JSONL file
//   GET  /v1beta/batches/{id}, GET /v1beta/batches, POST /v1beta/batches/{id}:cancel
//   GET  /download/v1beta/files/{id}:download?alt=media
//   POST /v1/files (multipart, purpose=batch), GET /v1/files/{id}/content
//   POST /v1/batches, GET /v1/batches/{id}, GET /v1/batches, POST /v1/batches/{id}/cancel
// A batch runs its requests through `answer` once it has taken the plan's delay; its plan is
// the scenario's when that is "batch:PLAN", else the default one.
class BatchEngine {
 public:
  BatchEngine(FileStore& gemini_files, AnswerRequest answer);

  void gemini_create(const std::string& model, const httplib::Request& req, httplib::Response& res,
                     const Scenario& scenario);
  void gemini_get(const std::string& id, httplib::Response& res);
  void gemini_list(const httplib::Request& req, httplib::Response& res);
  void gemini_cancel(const std::string& id, httplib::Response& res);
  void gemini_download(const std::string& file_id, httplib::Response& res);

  void images_upload(const httplib::Request& req, httplib::Response& res);
  void images_file_content(const std::string& id, httplib::Response& res);
  void images_create(const httplib::Request& req, httplib::Response& res, const Scenario& scenario);
  void images_get(const std::string& id, httplib::Response& res);
  void images_list(const httplib::Request& req, httplib::Response& res);
  void images_cancel(const std::string& id, httplib::Response& res);

  // Batches created so far, of both services (a create whose answer was cut off counts).
  std::uint64_t creates() const { return creates_.load(); }

  struct Batch;

 private:
  std::shared_ptr<Batch> find(bool gemini, const std::string& id) const;
  std::shared_ptr<Batch> add(std::shared_ptr<Batch> batch, const Scenario& scenario);
  // Runs the batch's requests once its time has come; the answers are kept.
  void settle(Batch& batch);
  void send_created(const Batch& batch, httplib::Response& res, const std::string& body) const;
  void send_file(const std::string& id, std::string content, httplib::Response& res);
  std::string gemini_operation(Batch& batch);
  std::string images_object(Batch& batch);

  FileStore& gemini_files_;
  AnswerRequest answer_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Batch>> batches_;  // oldest first
  struct ImagesFile {
    std::string filename;
    std::string purpose;
    std::string bytes;
    std::int64_t created = 0;
  };
  std::map<std::string, ImagesFile> images_files_;
  std::set<std::string> cut_next_download_;  // results files whose next download stops halfway
  std::uint64_t next_id_ = 0;
  std::atomic<std::uint64_t> creates_{0};
};

}  // namespace zantrel::emulator
