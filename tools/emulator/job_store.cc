#include "tools/emulator/job_store.h"

#include <charconv>
#include <cstdio>

namespace zantrel::emulator {
namespace {

std::optional<long> number_after(std::string_view option, std::string_view key) {
  if (!option.starts_with(key)) return std::nullopt;
  const std::string_view digits = option.substr(key.size());
  long value = -1;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<JobPlan> JobPlan::parse(std::string_view text) {
  JobPlan plan;
  plan.takes = std::chrono::milliseconds(2000);
  while (!text.empty()) {
    const auto plus = text.find('+');
    const std::string_view option = text.substr(0, plus);
    text = plus == std::string_view::npos ? std::string_view() : text.substr(plus + 1);
    if (option == "fail") {
      plan.fail = true;
    } else if (option == "expire") {
      plan.expire = true;
    } else if (option == "lost-submit") {
      plan.lost_submit = true;
    } else if (auto ms = number_after(option, "delay=")) {
      plan.takes = std::chrono::milliseconds(*ms);
    } else if (auto polls = number_after(option, "busy-polls=")) {
      plan.busy_polls = static_cast<int>(*polls);
    } else {
      return std::nullopt;
    }
  }
  return plan;
}

JobPlan JobPlan::of(const Scenario& scenario) {
  if (scenario.fault == Fault::kJob) return parse(scenario.param).value_or(JobPlan{});
  JobPlan plan;
  if (scenario.fault == Fault::kDelay)
    plan.takes = std::chrono::milliseconds(scenario.number(3000));
  if (scenario.fault == Fault::kSmallDelay) {
    plan.takes = std::chrono::milliseconds(scenario.number(200));
  }
  return plan;
}

std::string JobStore::add(StoredJob job) {
  std::lock_guard lock(mutex_);
  char number[24];
  std::snprintf(number, sizeof number, "%08llu", static_cast<unsigned long long>(++next_));
  job.id = prefix_ + number;
  std::string id = job.id;
  jobs_.emplace(id, std::move(job));
  return id;
}

bool JobStore::visit(const std::string& id, const std::function<void(StoredJob&)>& with) {
  std::lock_guard lock(mutex_);
  const auto found = jobs_.find(id);
  if (found == jobs_.end()) return false;
  StoredJob& job = found->second;
  if (job.plan.expire && job.ended(StoredJob::Clock::now())) return false;
  with(job);
  return true;
}

JobStore::Poll JobStore::poll(const std::string& id,
                              const std::function<nlohmann::ordered_json(const StoredJob&)>& view,
                              nlohmann::ordered_json& out) {
  bool busy = false;
  const bool held = visit(id, [&](StoredJob& job) {
    busy = job.polls < job.plan.busy_polls;
    if (busy) {
      ++job.polls;
      return;
    }
    out = view(job);
  });
  if (!held) return Poll::kUnknown;
  return busy ? Poll::kBusy : Poll::kAnswered;
}

std::uint64_t JobStore::submits() const {
  std::lock_guard lock(mutex_);
  return next_;
}

}  // namespace zantrel::emulator
