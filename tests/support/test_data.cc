#include "tests/support/test_data.h"

#include <stdexcept>

#include "zantrel/host/codec/base64.h"

namespace zantrel::test_support {

host::Bytes png_bytes(std::string_view tail) {
  return host::to_bytes(std::string("\x89PNG\r\n\x1a\n", 8) + std::string(tail));
}

host::Bytes jpeg_bytes(std::string_view tail) {
  return host::to_bytes(std::string("\xFF\xD8\xFF\xE0", 4) + std::string(tail));
}

std::string b64(std::string_view raw) { return host::base64_encode(host::as_bytes(raw)); }

std::vector<nlohmann::ordered_json> normalised(std::vector<nlohmann::ordered_json> records) {
  for (auto& record : records) {
    for (const char* key : {"second", "total_second"}) {
      if (!record.contains(key)) continue;
      if (!record[key].is_number() || record[key].get<double>() < 0) {
        throw std::runtime_error(std::string("bad timing in ") + record.dump());
      }
      record[key] = 0;
    }
    if (record.contains("traceback")) {
      if (!record["traceback"].is_string() || record["traceback"].get<std::string>().empty()) {
        throw std::runtime_error("bad traceback in " + record.dump());
      }
      record["traceback"] = "<tb>";
    }
  }
  return records;
}

}  // namespace zantrel::test_support
