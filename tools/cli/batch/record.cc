#include "tools/cli/batch/record.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "tools/cli/batch/result_line.h"
#include "tools/cli/output/image_facts.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/rfc3339.h"
#include "zantrel/host/images/image_mime.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

std::string file_name(const Unit& unit, const host::Bytes& image) {
  const std::string extension(host::image_extension(host::sniff_image_mime(image)));
  return image_stem(*unit.item, unit.index) + "." + extension;
}

}  // namespace

void ResultWriter::move_aside_if_unrecorded(const std::string& name) {
  if (!recorded_ || recorded_->contains(name)) return;
  const std::filesystem::path target = dir_ / name;
  std::error_code error;
  if (!std::filesystem::exists(target, error)) return;
  std::filesystem::path aside = target;
  aside += ".earlier";
  for (int k = 2; std::filesystem::exists(aside, error); ++k) {
    aside = target;
    aside += ".earlier-" + std::to_string(k);
  }
  std::filesystem::rename(target, aside);  // throws: the image is then kept elsewhere
  std::cerr << "zantrel-image: " << target.string() << " was no recorded result; kept as "
            << aside.string() << "\n";
}

Jobs read_jobs(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  Jobs jobs;
  int line = 0;
  for (std::string text; std::getline(in, text);) {
    ++line;
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;  // blank
    auto read = read_batch_line(text, line);
    if (auto* item = std::get_if<BatchItem>(&read)) {
      jobs.items.push_back(std::move(*item));
    } else {
      jobs.refused.emplace_back(line, std::get<std::string>(read));
    }
  }
  return jobs;
}

void ResultWriter::record(const Unit& unit, const host::ServiceResult& result,
                          host::Dialect dialect, const host::CallReport& report,
                          const Origin& origin) {
  const BatchItem& item = *unit.item;
  ResultLine line;
  line.line = item.line;
  line.name = item.name;
  line.index = unit.index;
  line.named = item.named;
  line.request = item.request;
  line.service = host::to_string(item.call.service);
  line.prompt = item.call.prompt;
  line.at = host::format_rfc3339(std::chrono::system_clock::now());
  if (!origin.batch_id.empty()) {
    line.via = "provider";
    line.batch = origin.batch_id;
  }
  line.from_link = origin.from_link;
  std::optional<std::string> out;
  std::optional<WrittenFile> written;
  bool ok = result.ok();
  if (const host::Bytes* image = result.bytes()) {
    const std::string name = file_name(unit, *image);
    try {
      move_aside_if_unrecorded(name);
      // Not synced one by one: --resume checks each file's sha256 before trusting it.
      written =
          write_image_file((dir_ / name).string(), *image,
                           metadata_ ? std::optional(image_facts(item.call, report)) : std::nullopt,
                           Durability::kCached);
      out = (dir_ / name).string();
      line.file = name;
      if (recorded_) recorded_->insert(name);
      tally_.bytes += written->bytes;
    } catch (const std::exception& e) {
      // Paid for: kept in the state folder, the line failed and naming where.
      line.write_error = e.what();
      out = keep_image_elsewhere(
          item.call.service, *image,
          metadata_ ? std::optional(image_facts(item.call, report)) : std::nullopt, e.what(),
          written);
      if (out) line.kept = *out;
      ok = false;
    }
  }
  if (const std::string* link = result.link(); link != nullptr && !result.bytes()) {
    // Kept in the line: a resumed run fetches it rather than buy the image again.
    line.write_error = unfetched_link_note(*link);
    ok = false;
  }
  json report_object = json_report_object(result, out, dialect, report, 0, written);
  if (!ok) report_object["ok"] = false;
  results_.append(to_json(line, report_object));
  if (gallery_ != nullptr) gallery_->refresh_if_due();

  const std::string outcome = ok ? "ok"
                                 : (result.code() ? std::string(host::to_string(*result.code()))
                                    : result.bytes() == nullptr ? "LINK_NOT_FETCHED"
                                                                : "WRITE_FAILED") +
                                       (report.failure_kind ? " " + *report.failure_kind : "");
  ++tally_.outcomes[outcome];
  (ok ? tally_.ok : tally_.failed) += 1;
  if (report.usage.total_tokens)
    tally_.tokens[std::string(host::to_string(item.call.service))] += *report.usage.total_tokens;
  if (report.cost) {
    tally_.cost_usd[std::string(host::to_string(item.call.service))] += report.cost->usd;
    ++tally_.priced[std::string(host::to_string(item.call.service))];
    tally_.prices_as_of = report.cost->prices_as_of;
  } else if (!report.usage.raw.is_null()) {
    ++tally_.unpriced;
  }
  if (report.timings.total) tally_.call_seconds.push_back(*report.timings.total);
  if (::isatty(STDERR_FILENO) != 1) {
    std::cerr << "line " << item.line << " " << item.name
              << (item.count > 1 ? "-" + std::to_string(unit.index) : "") << ": " << outcome
              << (!result.ok()                ? " (" + failure_text(result, report) + ")"
                  : !line.write_error.empty() ? " (" + line.write_error + ")"
                                              : "")
              << "\n";
  }
}

}  // namespace zantrel::cli
