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
                      const std::function<void(const ResultLine&)>& visit) {
  std::ifstream in(file);
  if (!in) return false;
  for (std::string text; std::getline(in, text);) {
    if (auto line = read_result_line(json::parse(text, nullptr, false))) visit(*line);
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
    const auto line = read_result_line(json::parse(text, nullptr, false));
    if (!line) {
      ++out.unreadable;
      continue;
    }
    if (!line->file.empty()) out.files.insert(line->file);
    if (!line->result || line->name.empty()) continue;
    const ResultLine::Outcome& result = *line->result;
    if (!result.link.empty() && !result.ok) {
      out.links[image_key(line->name, line->index)] = result.link;
    }
    if (!result.ok || line->file.empty()) continue;
    try {
      const auto bytes = host::read_file_bytes((dir / line->file).string());
      if (sha256_hex(bytes) != result.sha256) {
        ++out.missing_files;
        continue;
      }
    } catch (const std::exception&) {
      ++out.missing_files;
      continue;
    }
    out.finished.push_back(
        {line->name, line->index, line->line, line->request, line->named, line->file});
  }
  return out;
}

std::set<std::string> batch_results_recorded(const std::filesystem::path& dir) {
  std::set<std::string> recorded;
  each_line(dir, [&](const ResultLine& line) {
    if (!line.batch.empty() && !line.name.empty()) {
      recorded.insert(image_key(line.name, line.index) + "@" + line.batch);
    }
  });
  return recorded;
}

std::set<std::pair<int, std::string>> refusals_recorded(const std::filesystem::path& dir) {
  std::set<std::pair<int, std::string>> refused;
  each_line(dir, [&](const ResultLine& line) {
    if (!line.error.empty()) refused.emplace(line.line, line.error);
  });
  return refused;
}

}  // namespace zantrel::cli
