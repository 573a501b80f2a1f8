#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/emulator/batch_plan.h"
#include "tools/emulator/faults.h"
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

// One batch, of either service, as the engine keeps it.
struct Batch {
  using Clock = std::chrono::system_clock;
  enum class Fate { kSucceed, kExpire, kFail };
  struct Line {
    std::string key;
    std::string path;
    std::string body;
  };

  Api api = Api::kGemini;
  std::string id;
  std::string display_name;                                            // Gemini
  nlohmann::ordered_json metadata = nlohmann::ordered_json::object();  // images API
  std::string model;                                                   // Gemini
  std::string endpoint;                                                // images API
  std::string input_file;                                              // "" for inline requests
  std::vector<Line> lines;
  BatchPlan plan;
  Fate fate = Fate::kSucceed;
  Clock::time_point created;
  std::optional<Clock::time_point> cancelled;

  std::mutex mutex;  // guards what follows
  bool settled = false;
  std::vector<InnerAnswer> answers;  // one per line run (an expired batch runs part of them)
  std::string inline_output;         // Gemini: the inlined responses
  std::string output_file;           // Gemini: the responses file; images API: the output file
  std::string error_file;            // images API
  int succeeded = 0;
  int failed = 0;

  bool done(Clock::time_point now) const { return cancelled || now - created >= plan.delay; }
  bool started(Clock::time_point now) const { return now - created >= plan.delay / 2; }
};

// What both services' batch engines share: the batches, oldest first, each run through
// `answer` once it has taken its plan's delay (its plan is the scenario's when that is
// "batch:PLAN", else the default one), one sequence of ids, and the results files' delivery.
class BatchEngine {
 public:
  explicit BatchEngine(AnswerRequest answer) : answer_(std::move(answer)) {}

  // Keeps a new batch: its plan and fate (by its place among all creates), and an id.
  std::shared_ptr<Batch> add(std::shared_ptr<Batch> batch, const Scenario& scenario);
  std::shared_ptr<Batch> find(Api api, const std::string& id) const;
  std::vector<std::shared_ptr<Batch>> newest_first(Api api) const;
  // With the batch's lock held: runs the first `run` of its requests once its time has come
  // (never for a cancelled or failing batch, and only once). True when they ran now.
  bool run_due(Batch& batch, std::size_t run);
  // "PREFIX" and twelve hex digits, the next of the sequence both services' ids come from.
  std::string next_id(const char* prefix);

  // How a service describes a batch, and answers for one it does not know.
  using Describe = std::function<std::string(Batch&)>;
  using NotFound = std::function<void(httplib::Response&)>;
  // Keeps a new batch (add) and answers its create with its description, as the plan has that
  // delivered (late, or cut off).
  void admit(std::shared_ptr<Batch> batch, const Scenario& scenario, httplib::Response& res,
             const Describe& describe);
  // Answers with the batch's description, or as `not_found` says.
  void describe(Api api, const std::string& id, httplib::Response& res, const Describe& describe,
                const NotFound& not_found) const;
  // A results file's bytes; a file marked by `cut_next_download` stops halfway, once.
  void send_file(const std::string& id, std::string content, httplib::Response& res);
  void cut_next_download(const std::string& id);

  // Batches created so far, of both services (a create whose answer was cut off counts).
  std::uint64_t creates() const { return creates_.load(); }

 private:
  AnswerRequest answer_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Batch>> batches_;  // oldest first
  std::set<std::string> cut_next_download_;
  std::uint64_t next_id_ = 0;
  std::atomic<std::uint64_t> creates_{0};
};

// A page number or size of a list's query, `fallback` when absent or not a whole number.
std::size_t page_number(const std::string& text, std::size_t fallback);

// Each line of a JSON-lines file, parsed (discarded when it is no JSON).
void each_json_line(const std::string& content,
                    const std::function<bool(const nlohmann::ordered_json&)>& each);

}  // namespace zantrel::emulator
