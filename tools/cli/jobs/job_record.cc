#include "tools/cli/jobs/job_record.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

std::string text_of(const nlohmann::json& value, const char* key) {
  const auto found = value.find(key);
  return found != value.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

json JobRecord::to_json() const {
  json out = {{"state", state}, {"service", host::to_string(service)}};
  out["job"] = job ? json::parse(job->to_text()) : json();
  out["base_url"] = base_url;
  out["output"] = output;
  out["prompt"] = prompt;
  out["model"] = model;
  out["aspect_ratio"] = aspect_ratio;
  out["created"] = created;
  out["written"] = written;
  out["error"] = error;
  return out;
}

JobRecord JobRecord::from_json(const nlohmann::json& value) {
  if (!value.is_object()) throw host::InvalidArgument("a job record is a JSON object");
  JobRecord record;
  record.state = text_of(value, "state");
  const std::string service = text_of(value, "service");
  if (service == host::to_string(host::Service::kImages)) {
    record.service = host::Service::kImages;
  } else if (service != host::to_string(host::Service::kGemini)) {
    throw host::InvalidArgument("a job record names no service");
  }
  if (const auto job = value.find("job"); job != value.end() && job->is_object()) {
    record.job = host::JobRef::from_text(job->dump());
  }
  record.base_url = text_of(value, "base_url");
  record.output = text_of(value, "output");
  record.prompt = text_of(value, "prompt");
  record.model = text_of(value, "model");
  record.aspect_ratio = text_of(value, "aspect_ratio");
  record.created = text_of(value, "created");
  record.written = text_of(value, "written");
  record.error = text_of(value, "error");
  return record;
}

std::filesystem::path jobs_folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state == '/') return std::filesystem::path(state) / "zantrel" / "jobs";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    throw std::runtime_error("neither XDG_STATE_HOME nor HOME is set: no place for job records");
  }
  return std::filesystem::path(home) / ".local" / "state" / "zantrel" / "jobs";
}

std::filesystem::path new_record_path(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::random_device random;
  std::ostringstream name;
  name << millis << '-' << ::getpid() << '-' << std::hex << (random() & 0xFFFFFF) << ".json";
  return folder / name.str();
}

void write_record(const std::filesystem::path& path, const JobRecord& record) {
  const std::string text = record.to_json().dump(2) + "\n";
  write_file_atomically(path.string(), host::as_bytes(text));
}

std::vector<RecordFile> read_records(const std::filesystem::path& folder,
                                     std::vector<std::string>* unreadable) {
  std::vector<RecordFile> records;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    try {
      records.push_back(
          {entry.path(), JobRecord::from_json(nlohmann::json::parse(text.str(), nullptr, false))});
    } catch (const std::exception& e) {
      if (unreadable != nullptr) unreadable->push_back(entry.path().string() + ": " + e.what());
    }
  }
  std::sort(records.begin(), records.end(),
            [](const RecordFile& a, const RecordFile& b) { return a.path < b.path; });
  return records;
}

}  // namespace zantrel::cli
