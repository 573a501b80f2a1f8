#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "zantrel/host/models/model_catalogue.h"

namespace zantrel::cli {

// What a run knows of one provider batch, kept in DIR/provider-batches.json: written before the
// create (its intent, with the name the batch is made under) and after it (the service's id),
// so that no run ever creates a batch twice.
struct ProviderRecord {
  std::string name;  // the batch's display name at the service
  host::Service service = host::Service::kGemini;
  std::string path;     // where its requests go ("/v1/images/edits", "/v1beta/models/M:...")
  std::string dialect;  // how the service was spoken to ("gateway" or "direct")
  std::vector<std::string> keys;  // its images, "LINE-INDEX"
  std::string id;                 // the service's id, once known
  std::string state;              // "intent", "created", "done" or "left"
  std::string recorded;           // when the intent was written (RFC 3339)
  std::string note;               // why it was left, or what it left
};

class ProviderRecords {
 public:
  // Reads the records in `dir` (none when there is no file); throws when the file is there but
  // not a record file, rather than forget what it holds.
  explicit ProviderRecords(const std::filesystem::path& dir);

  std::vector<ProviderRecord>& all() { return records_; }
  // Writes every record, synced, through a new file renamed over the old one.
  void save() const;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::vector<ProviderRecord> records_;
};

}  // namespace zantrel::cli
