#pragma once

#include <httplib.h>

#include <string>

#include "tools/emulator/batch_engine.h"
#include "tools/emulator/images/files.h"

namespace zantrel::emulator {

// The images API's batch engine over its files:
//   POST /v1/batches, GET /v1/batches/{id}, GET /v1/batches, POST /v1/batches/{id}/cancel
// A batch's input is a JSONL file kept in `files`; its output and error files are kept there.
class ImagesBatches {
 public:
  ImagesBatches(BatchEngine& engine, ImagesFiles& files) : engine_(engine), files_(files) {}

  void create(const httplib::Request& req, httplib::Response& res, const Scenario& scenario);
  void get(const std::string& id, httplib::Response& res);
  void list(const httplib::Request& req, httplib::Response& res);
  void cancel(const std::string& id, httplib::Response& res);

 private:
  // The batch object as the service describes it now (its requests run when due).
  std::string object(Batch& batch);
  void keep_results(Batch& batch);

  BatchEngine& engine_;
  ImagesFiles& files_;
};

}  // namespace zantrel::emulator
