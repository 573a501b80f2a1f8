#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/emulator/scenario.h"

namespace zantrel::emulator {

// How a job submitted now behaves (the "job" scenario's PLAN, options joined by '+'):
// delay=MS (default 2000), fail, expire (gone once it has ended), lost-submit (the submit's
// answer is cut off after the job is made), busy-polls=N (the first N polls answer 503). A
// delay scenario makes the job take its time instead, answering the submit and polls at once.
struct JobPlan {
  std::chrono::milliseconds takes{0};
  bool fail = false;
  bool expire = false;
  bool lost_submit = false;
  int busy_polls = 0;

  static std::optional<JobPlan> parse(std::string_view text);
  // The plan of a job submitted under `scenario`.
  static JobPlan of(const Scenario& scenario);
};

// A job either service's job API holds.
struct StoredJob {
  using Clock = std::chrono::steady_clock;
  std::string id;
  std::string created;          // RFC 3339
  nlohmann::ordered_json done;  // the resource once it has ended (completed or failed)
  nlohmann::ordered_json kept;  // what the service keeps for a turn that follows (its own form)
  Clock::time_point ready_at{};
  JobPlan plan;
  bool cancelled = false;
  int polls = 0;

  bool ended(Clock::time_point now) const { return cancelled || now >= ready_at; }
};

// The jobs of one service's job API: made by a submit, looked up by id.
class JobStore {
 public:
  explicit JobStore(std::string id_prefix) : prefix_(std::move(id_prefix)) {}

  // Keeps `job` under a new id, which it gives.
  std::string add(StoredJob job);
  // Runs `with` on the job under `id` while it is held; false when there is none (unknown, or
  // expired once ended).
  bool visit(const std::string& id, const std::function<void(StoredJob&)>& with);
  // A poll of the job under `id`: its view now (`view`, into `out`), unless it is unknown or
  // gone, or this poll is one its plan answers busy.
  enum class Poll { kAnswered, kUnknown, kBusy };
  Poll poll(const std::string& id,
            const std::function<nlohmann::ordered_json(const StoredJob&)>& view,
            nlohmann::ordered_json& out);
  std::uint64_t submits() const;

 private:
  mutable std::mutex mutex_;
  std::string prefix_;
  std::map<std::string, StoredJob> jobs_;
  std::uint64_t next_ = 0;
};

}  // namespace zantrel::emulator
