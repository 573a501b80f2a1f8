#include "zantrel/host/jobs/job.h"

#include <nlohmann/json.hpp>

#include "zantrel/host/result/errors.h"

namespace zantrel::host {
namespace {

std::string member(const nlohmann::json& object, const char* name) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_string() || found->get<std::string>().empty()) {
    throw InvalidArgument(std::string("a job's text needs \"") + name + "\" (a string)");
  }
  return found->get<std::string>();
}

}  // namespace

std::string JobRef::to_text() const {
  nlohmann::ordered_json text = {{"service", to_string(service)},
                                 {"id", id},
                                 {"model", model},
                                 {"created", created},
                                 {"digest", digest}};
  return text.dump();
}

JobRef JobRef::from_text(std::string_view text) {
  const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object()) throw InvalidArgument("a job's text is a JSON object");
  JobRef job;
  const std::string service = member(object, "service");
  if (service == to_string(Service::kGemini)) {
    job.service = Service::kGemini;
  } else if (service == to_string(Service::kImages)) {
    job.service = Service::kImages;
  } else {
    throw InvalidArgument("a job's \"service\" is \"gemini\" or \"images\", not \"" + service +
                          "\"");
  }
  job.id = member(object, "id");
  job.model = member(object, "model");
  job.created = object.value("created", "");
  job.digest = object.value("digest", "");
  return job;
}

std::string_view to_string(JobStatus::Phase phase) noexcept {
  switch (phase) {
    case JobStatus::Phase::kWaiting:
      return "waiting";
    case JobStatus::Phase::kDone:
      return "done";
    case JobStatus::Phase::kFailed:
      return "failed";
    case JobStatus::Phase::kCancelled:
      return "cancelled";
    case JobStatus::Phase::kGone:
      return "gone";
  }
  return "waiting";
}

}  // namespace zantrel::host
