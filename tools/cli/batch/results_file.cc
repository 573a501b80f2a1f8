#include "tools/cli/batch/results_file.h"

#include <fstream>
#include <stdexcept>

#include "tools/cli/batch/job.h"
#include "tools/cli/core/secret_guard.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/references.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

// An earlier run's results in `dir`; none when there is no file yet.
template <class Visit>
void each_line(const std::filesystem::path& dir, Visit visit) {
  each_result_line(dir / "results.jsonl", visit);
}

}  // namespace

bool each_result_line(const std::filesystem::path& file,
                      const std::function<void(const json&)>& visit) {
  std::ifstream in(file);
  if (!in) return false;
  for (std::string text; std::getline(in, text);) {
    const json line = json::parse(text, nullptr, false);
    if (!line.is_discarded() && line.is_object() && line.contains("line")) visit(line);
  }
  return true;
}

ResultsFile::ResultsFile(const std::filesystem::path& path, std::vector<std::string> secrets)
    : path_(path),
      secrets_(std::move(secrets)),
      file_(std::fopen(path.c_str(), "ab+"), &std::fclose) {
  if (!file_) throw std::runtime_error("cannot open " + path.string() + " to append");
  // A line cut off by an earlier crash gets its end, so that the next one stands alone.
  if (std::fseek(file_.get(), -1, SEEK_END) == 0 && std::fgetc(file_.get()) != '\n') {
    std::fputc('\n', file_.get());
  }
}

void ResultsFile::append(const json& line) {
  const std::string text =
      without_secrets(line.dump(-1, ' ', false, json::error_handler_t::replace), secrets_) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size() ||
      std::fflush(file_.get()) != 0) {
    throw std::runtime_error("cannot append to " + path_.string());
  }
}

RecordedResults recorded_results(const std::filesystem::path& dir) {
  RecordedResults out;
  std::ifstream in(dir / "results.jsonl");
  if (!in) return out;
  out.exists = true;
  for (std::string text; std::getline(in, text);) {
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const json line = json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object() || !line.contains("line")) {
      ++out.unreadable;
      continue;
    }
    const json& result = line.value("result", json::object());
    const json& file = line.value("file", json());
    if (file.is_string()) out.files.insert(file.get<std::string>());
    if (result.is_object() && result.value("link", json()).is_string() &&
        result.value("ok", false) != true && line.value("name", json()).is_string() &&
        line.value("index", json()).is_number_integer()) {
      out.links[image_key(line["name"].get<std::string>(), line["index"].get<int>())] =
          result["link"].get<std::string>();
    }
    if (!result.is_object() || result.value("ok", false) != true || !file.is_string() ||
        !line["line"].is_number_integer() || !line.value("index", json()).is_number_integer() ||
        !line.value("name", json()).is_string()) {
      continue;
    }
    try {
      const auto bytes = host::read_file_bytes((dir / file.get<std::string>()).string());
      if (sha256_hex(bytes) != result.value("sha256", "")) {
        ++out.missing_files;
        continue;
      }
    } catch (const std::exception&) {
      ++out.missing_files;
      continue;
    }
    const json& request = line.value("request", json());
    const json& named = line.value("named", json());
    out.finished.push_back(
        {line["name"].get<std::string>(), line["index"].get<int>(), line["line"].get<int>(),
         request.is_string() ? request.get<std::string>() : "",
         named.is_boolean() ? named.get<bool>() : true, file.get<std::string>()});
  }
  return out;
}

std::set<std::string> batch_results_recorded(const std::filesystem::path& dir) {
  std::set<std::string> recorded;
  each_line(dir, [&](const json& line) {
    const json& batch = line.value("batch", json());
    if (batch.is_string() && line.value("name", json()).is_string() &&
        line.value("index", json()).is_number_integer()) {
      recorded.insert(image_key(line["name"].get<std::string>(), line["index"].get<int>()) + "@" +
                      batch.get<std::string>());
    }
  });
  return recorded;
}

std::set<std::pair<int, std::string>> refusals_recorded(const std::filesystem::path& dir) {
  std::set<std::pair<int, std::string>> refused;
  each_line(dir, [&](const json& line) {
    if (line["line"].is_number_integer() && line.value("error", json()).is_string()) {
      refused.emplace(line["line"].get<int>(), line["error"].get<std::string>());
    }
  });
  return refused;
}

}  // namespace zantrel::cli
