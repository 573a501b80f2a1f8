#include "tools/cli/batch/provider/records.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tools/cli/output/image_output.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

}  // namespace

ProviderRecords::ProviderRecords(const std::filesystem::path& dir)
    : path_(dir / "provider-batches.json") {
  std::ifstream in(path_);
  if (!in) return;
  std::stringstream text;
  text << in.rdbuf();
  const json document = json::parse(text.str(), nullptr, false);
  if (!document.is_object() || !document.value("batches", json()).is_array()) {
    throw std::runtime_error(path_.string() + " is not a provider batch record");
  }
  for (const json& entry : document["batches"]) {
    if (!entry.is_object()) continue;
    ProviderRecord record;
    record.name = entry.value("name", "");
    const auto service = host::parse_service(entry.value("service", ""));
    if (!service) {
      throw std::runtime_error(path_.string() + ": a batch of no known service (" +
                               entry.value("service", "") + ")");
    }
    record.service = *service;
    record.path = entry.value("path", "");
    record.dialect = entry.value("dialect", "");
    for (const json& key : entry.value("keys", json::array())) {
      if (key.is_string()) record.keys.push_back(key.get<std::string>());
    }
    record.id = entry.value("id", "");
    record.state = entry.value("state", "intent");
    record.recorded = entry.value("recorded", "");
    record.note = entry.value("note", "");
    records_.push_back(std::move(record));
  }
}

void ProviderRecords::save() const {
  json batches = json::array();
  for (const ProviderRecord& record : records_) {
    json entry = {{"name", record.name},         {"service", host::to_string(record.service)},
                  {"path", record.path},         {"dialect", record.dialect},
                  {"state", record.state},       {"id", record.id},
                  {"recorded", record.recorded}, {"keys", record.keys}};
    if (!record.note.empty()) entry["note"] = record.note;
    batches.push_back(std::move(entry));
  }
  const std::string text = json{{"batches", std::move(batches)}}.dump(1) + "\n";
  write_file_atomically(path_.string(), host::as_bytes(text), Durability::kSynced);
}

}  // namespace zantrel::cli
