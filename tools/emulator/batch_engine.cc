#include "tools/emulator/batch_engine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <thread>

namespace zantrel::emulator {

std::shared_ptr<Batch> BatchEngine::add(std::shared_ptr<Batch> kept, const Scenario& scenario) {
  if (scenario.fault == Fault::kBatch)
    kept->plan = BatchPlan::parse(scenario.param).value_or(BatchPlan{});
  kept->created = Batch::Clock::now();
  const auto ordinal = static_cast<int>(++creates_);
  if (ordinal == kept->plan.expire_nth) kept->fate = Batch::Fate::kExpire;
  if (ordinal == kept->plan.fail_nth) kept->fate = Batch::Fate::kFail;
  kept->id = next_id(kept->api == Api::kGemini ? "" : "batch_");
  std::lock_guard lock(mutex_);
  batches_.push_back(kept);
  return kept;
}

std::shared_ptr<Batch> BatchEngine::find(Api api, const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (const auto& batch : batches_) {
    if (batch->api == api && batch->id == id) return batch;
  }
  return nullptr;
}

std::vector<std::shared_ptr<Batch>> BatchEngine::newest_first(Api api) const {
  std::vector<std::shared_ptr<Batch>> out;
  std::lock_guard lock(mutex_);
  for (auto at = batches_.rbegin(); at != batches_.rend(); ++at) {
    if ((*at)->api == api) out.push_back(*at);
  }
  return out;
}

bool BatchEngine::run_due(Batch& batch, std::size_t run) {
  if (batch.settled || !batch.done(Batch::Clock::now()) || batch.cancelled ||
      batch.fate == Batch::Fate::kFail) {
    return false;
  }
  const Scenario failing = *Scenario::parse("status:500");
  const Scenario answering =
      batch.plan.small_pictures ? *Scenario::parse("small-delay:0") : Scenario{};
  for (std::size_t i = 0; i < run; ++i) {
    const bool fails =
        batch.plan.fail_every > 0 && (i + 1) % static_cast<std::size_t>(batch.plan.fail_every) == 0;
    const Batch::Line& line = batch.lines[i];
    batch.answers.push_back(answer_(line.path, line.body, fails ? failing : answering));
    (batch.answers.back().status == 200 ? batch.succeeded : batch.failed) += 1;
  }
  batch.settled = true;
  return true;
}

std::string BatchEngine::next_id(const char* prefix) {
  char id[40];
  std::lock_guard lock(mutex_);
  std::snprintf(id, sizeof id, "%s%012llx", prefix,
                static_cast<unsigned long long>(++next_id_ * 0x9E3779B97F4A7C15ull >> 16));
  return id;
}

void BatchEngine::admit(std::shared_ptr<Batch> batch, const Scenario& scenario,
                        httplib::Response& res, const Describe& describe) {
  const auto kept = add(std::move(batch), scenario);
  const std::string body = describe(*kept);
  if (kept->plan.create_wait.count() > 0) std::this_thread::sleep_for(kept->plan.create_wait);
  res.status = 200;
  if (static_cast<int>(creates_.load()) == kept->plan.lost_create_nth) {
    // The batch is made; its answer never arrives whole.
    res.set_content_provider(body.size(), "application/json",
                             [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    return;
  }
  res.set_content(body, "application/json");
}

void BatchEngine::describe(Api api, const std::string& id, httplib::Response& res,
                           const Describe& describe, const NotFound& not_found) const {
  const auto batch = find(api, id);
  if (!batch) {
    not_found(res);
    return;
  }
  res.set_content(describe(*batch), "application/json");
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the file's id, then its bytes
void BatchEngine::send_file(const std::string& id, std::string content, httplib::Response& res) {
  bool cut = false;
  {
    std::lock_guard lock(mutex_);
    cut = cut_next_download_.erase(id) > 0;
  }
  if (!cut) {
    res.set_content(content, "application/octet-stream");
    return;
  }
  // Half of the file, then the connection goes.
  auto shared = std::make_shared<std::string>(std::move(content));
  res.set_content_provider(shared->size(), "application/octet-stream",
                           [shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                             if (offset >= shared->size() / 2) return false;
                             sink.write(shared->data(), shared->size() / 2);
                             return true;
                           });
}

void BatchEngine::cut_next_download(const std::string& id) {
  std::lock_guard lock(mutex_);
  cut_next_download_.insert(id);
}

std::size_t page_number(const std::string& text, std::size_t fallback) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return text.empty() || error != std::errc() || end != text.data() + text.size() ? fallback
                                                                                  : value;
}

void each_json_line(const std::string& content,
                    const std::function<bool(const nlohmann::ordered_json&)>& each) {
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t end = std::min(content.find('\n', at), content.size());
    const auto line = nlohmann::ordered_json::parse(content.substr(at, end - at), nullptr, false);
    at = end + 1;
    if (!each(line)) return;
  }
}

}  // namespace zantrel::emulator
