#pragma once

#include <httplib.h>

#include <string>

#include "tools/emulator/batch_engine.h"
#include "tools/emulator/gemini/files.h"

namespace zantrel::emulator {

// Gemini's batch engine:
//   POST /v1beta/models/{model}:batchGenerateContent   inline requests or a JSONL file
//   GET  /v1beta/batches/{id}, GET /v1beta/batches, POST /v1beta/batches/{id}:cancel
//   GET  /download/v1beta/files/{id}:download?alt=media
// Results come inline in the batch for inline requests, else as a responses file in `files`.
class GeminiBatches {
 public:
  GeminiBatches(BatchEngine& engine, GeminiFiles& files) : engine_(engine), files_(files) {}

  void create(const std::string& model, const httplib::Request& req, httplib::Response& res,
              const Scenario& scenario);
  void get(const std::string& id, httplib::Response& res);
  void list(const httplib::Request& req, httplib::Response& res);
  void cancel(const std::string& id, httplib::Response& res);
  void download(const std::string& file_id, httplib::Response& res);

 private:
  // The batch's operation as the service describes it now (its requests run when due).
  std::string operation(Batch& batch);
  void keep_results(Batch& batch);

  BatchEngine& engine_;
  GeminiFiles& files_;
};

}  // namespace zantrel::emulator
