#include "tools/cli/commands/gallery_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <stdexcept>
#include <utility>

#include "tools/cli/batch/results_file.h"
#include "tools/cli/output/image_output.h"
#include "zantrel/host/codec/markup_text.h"
#include "zantrel/host/images/image_metadata.h"
#include "zantrel/host/references.h"

namespace zantrel::cli {
namespace {

using json = nlohmann::ordered_json;

// Pages are written again at most this often while a run goes on.
constexpr auto kRefreshEvery = std::chrono::seconds(2);

std::string escaped(std::string_view text) { return host::markup_escaped(text); }

// A file name as a relative link: every byte but the unreserved ones percent-encoded, so that a
// name with "#", "?", "%" or a space still names its file.
std::string link_to(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string text_at(const json& object, const json::json_pointer& at) {
  if (!object.contains(at)) return "";
  const json& value = object.at(at);
  return value.is_string() ? value.get<std::string>() : "";
}

// "41.2 s", and "0.42 s" for the short calls that one decimal would show as none.
std::string seconds_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 1 ? "%.2f s" : "%.1f s", value);
  return text;
}

// The prompt of a line that doesn't carry it, from the image's own metadata.
std::string prompt_from_file(const std::filesystem::path& file) {
  try {
    std::error_code failed;
    if (!std::filesystem::is_regular_file(file, failed)) return "";
    const auto metadata = host::read_metadata(host::read_file_bytes(file.string()));
    if (!metadata) return "";
    const json facts = json::parse(metadata->json, nullptr, false);
    return facts.is_object() ? text_at(facts, json::json_pointer("/prompt")) : "";
  } catch (const std::exception&) {
    return "";
  }
}

struct Totals {
  int ok = 0;
  int failed = 0;
  std::map<std::string, int> images;  // per service, made
  std::map<std::string, double> cost;
  std::map<std::string, double> tokens;
  std::string prices_as_of;
  double call_seconds = 0;
};

std::string card(const ResultLine& line, const std::filesystem::path& dir, Totals& totals) {
  const std::string& service = line.service;
  const ResultLine::Outcome& result = *line.result;
  const bool ok = result.ok;
  const std::string& file = line.file;
  std::string prompt = line.prompt;
  // Only a file of the folder itself, as the runner names them, is read.
  if (prompt.empty() && !file.empty() && file.find('/') == std::string::npos && file[0] != '.') {
    prompt = prompt_from_file(dir / file);
  }
  const std::string& model = result.model_sent;
  std::string name = line.name;
  if (line.index > 1) name += " #" + std::to_string(line.index);

  std::vector<std::string> facts;
  if (!model.empty()) facts.push_back(escaped(model));
  const auto& width = result.width;
  const auto& height = result.height;
  if (ok && width && height) {
    facts.push_back(std::to_string(static_cast<long long>(*width)) + "&times;" +
                    std::to_string(static_cast<long long>(*height)));
  }
  if (const auto& tokens = result.total_tokens) {
    facts.push_back(with_thousands(static_cast<std::int64_t>(*tokens)) + " tokens");
    totals.tokens[service] += *tokens;
  }
  if (const auto& usd = result.cost_usd) {
    facts.push_back("about " + dollars(*usd));
    totals.cost[service] += *usd;
    if (!result.prices_as_of.empty()) totals.prices_as_of = result.prices_as_of;
  }
  if (const auto& seconds = result.total_seconds) {
    facts.push_back(seconds_text(*seconds));
    totals.call_seconds += *seconds;
  }
  const std::string& at = line.at;

  std::string html = "<figure class=\"card " + std::string(ok ? "ok" : "failed") +
                     "\" data-service=\"" + escaped(service) + "\" data-outcome=\"" +
                     (ok ? "ok" : "failed") + "\">";
  if (ok && !file.empty()) {
    const std::string href = escaped(link_to(file));
    // Lazily: a page of thousands of full-size images loads those in view.
    html += "<a class=\"thumb\" href=\"" + href + "\"><img loading=\"lazy\" src=\"" + href +
            "\" alt=\"" + escaped(name) + "\"";
    if (width && height) {
      html += " width=\"" + std::to_string(static_cast<long long>(*width)) + "\" height=\"" +
              std::to_string(static_cast<long long>(*height)) + "\"";
    }
    html += "></a>";
    ++totals.ok;
    ++totals.images[service];
  } else if (ok) {
    // The service answered with a link the run could not fetch: the link is the result.
    const std::string& link = result.link;
    const bool web = link.rfind("https://", 0) == 0 || link.rfind("http://", 0) == 0;
    html +=
        "<div class=\"nofile\">no file written" +
        (web ? "; the answer's link: <a href=\"" + escaped(link) + "\">" + escaped(link) + "</a>"
             : std::string()) +
        "</div>";
    ++totals.ok;
    ++totals.images[service];
  } else {
    const std::string& code = result.code;
    const std::string& kind = result.failure_kind;
    html += "<div class=\"failure\"><b>" + escaped(code.empty() ? "WRITE_FAILED" : code) + "</b>" +
            (kind.empty() ? "" : " " + escaped(kind)) + "<p>" + escaped(result.msg) + "</p></div>";
    ++totals.failed;
  }
  html += "<figcaption><div class=\"name\">" + escaped(service) + " &middot; " + escaped(name);
  if (ok && !file.empty()) {
    html += " &middot; <a href=\"" + escaped(link_to(file)) + "\">" + escaped(file) + "</a>";
  }
  html += "</div><p class=\"prompt\">" +
          (prompt.empty() ? std::string("<i>prompt not recorded</i>") : escaped(prompt)) +
          "</p><div class=\"facts\">";
  for (std::size_t i = 0; i < facts.size(); ++i) html += (i ? " &middot; " : "") + facts[i];
  if (!at.empty()) html += "<br><time>" + escaped(at) + "</time>";
  html += "</div></figcaption></figure>\n";
  return html;
}

constexpr std::string_view kStyle = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:0;background:#f4f4f5;color:#18181b}
header{padding:16px 24px;background:#fff;border-bottom:1px solid #e4e4e7;position:sticky;top:0}
h1{font-size:18px;margin:0 0 6px}
.totals{color:#3f3f46}
.filters{margin-top:10px}
.filters button{border:1px solid #d4d4d8;background:#fff;border-radius:6px;padding:3px 10px;
  margin-right:4px;cursor:pointer;font:inherit}
.filters button[aria-pressed=true]{background:#18181b;color:#fff;border-color:#18181b}
.filters span{margin:0 6px 0 12px;color:#71717a}
main{display:grid;grid-template-columns:repeat(auto-fill,minmax(240px,1fr));gap:16px;padding:24px}
.card{margin:0;background:#fff;border-radius:8px;overflow:hidden;box-shadow:0 1px 3px #0002}
.card[hidden]{display:none}
.thumb img{display:block;width:100%;height:200px;object-fit:cover;background:#e4e4e7}
.nofile{height:200px;box-sizing:border-box;padding:16px;background:#f4f4f5;color:#52525b;
  overflow-wrap:anywhere}
.failure{height:200px;box-sizing:border-box;padding:16px;background:#fef2f2;color:#991b1b;
  overflow:auto}
figcaption{padding:10px 12px}
.name{font-weight:600;font-size:12px;color:#52525b}
.prompt{margin:6px 0;max-height:5.6em;overflow:hidden}
.facts{font-size:12px;color:#71717a}
.refused{padding:0 24px 24px;color:#991b1b}
)";

constexpr std::string_view kScript = R"(
const chosen = {service: 'all', outcome: 'all'};
function show() {
  let shown = 0;
  for (const card of document.querySelectorAll('.card')) {
    const fits = ['service', 'outcome'].every(
        k => chosen[k] === 'all' || card.dataset[k] === chosen[k]);
    card.hidden = !fits;
    if (fits) shown++;
  }
  for (const button of document.querySelectorAll('.filters button')) {
    button.setAttribute('aria-pressed', chosen[button.dataset.filter] === button.dataset.value);
  }
  document.getElementById('shown').textContent = shown;
}
for (const button of document.querySelectorAll('.filters button')) {
  button.addEventListener('click', () => {
    chosen[button.dataset.filter] = button.dataset.value;
    show();
  });
}
show();
)";

std::string filter_buttons(const std::string& filter, const std::vector<std::string>& values) {
  std::string html;
  for (const std::string& value : values) {
    html += "<button type=\"button\" data-filter=\"" + filter + "\" data-value=\"" +
            escaped(value) + "\">" + escaped(value) + "</button>";
  }
  return html;
}

// The newest line of each image, in the order of the job file.
std::vector<const ResultLine*> newest_per_image(const std::vector<ResultLine>& lines,
                                                std::vector<const ResultLine*>& refused) {
  std::map<std::pair<int, int>, const ResultLine*> newest;
  std::map<int, const ResultLine*> refusals;
  for (const ResultLine& line : lines) {
    if (!line.error.empty()) {
      refusals[line.line] = &line;
    } else if (line.result) {
      newest[{line.line, line.index}] = &line;
    }
  }
  std::vector<const ResultLine*> images;
  images.reserve(newest.size());
  for (const auto& [key, line] : newest) images.push_back(line);
  for (const auto& [at, line] : refusals) {
    if (newest.lower_bound({at, 0}) == newest.upper_bound({at, 1 << 30})) refused.push_back(line);
  }
  return images;
}

std::vector<ResultLine> read_lines(const std::filesystem::path& results) {
  std::vector<ResultLine> lines;
  if (!each_result_line(results, [&](const ResultLine& line) { lines.push_back(line); })) {
    throw std::runtime_error("cannot read " + results.string());
  }
  return lines;
}

// The page and how many cards it holds.
struct Page {
  std::string html;
  int cards = 0;
};

Page render(const std::vector<ResultLine>& lines, const std::filesystem::path& dir) {
  std::vector<const ResultLine*> refused;
  const std::vector<const ResultLine*> images = newest_per_image(lines, refused);
  Totals totals;
  std::string cards;
  std::vector<std::string> services;
  for (const ResultLine* line : images) {
    cards += card(*line, dir, totals);
    const std::string& service = line->service;
    if (std::find(services.begin(), services.end(), service) == services.end()) {
      services.push_back(service);
    }
  }

  std::string summary =
      std::to_string(totals.ok) + " images, " + std::to_string(totals.failed) + " failed";
  double cost = 0;
  for (const auto& [service, usd] : totals.cost) cost += usd;
  for (const std::string& service : services) {
    summary +=
        " &middot; " + escaped(service) + ": " + std::to_string(totals.images[service]) + " images";
    if (totals.tokens.contains(service)) {
      summary +=
          ", " + with_thousands(static_cast<std::int64_t>(totals.tokens[service])) + " tokens";
    }
    if (totals.cost.contains(service)) summary += ", about " + dollars(totals.cost[service]);
  }
  if (!totals.cost.empty()) {
    summary += " &middot; total about " + dollars(cost) + " (estimated, prices of " +
               escaped(totals.prices_as_of) + ")";
  }
  if (totals.call_seconds > 0)
    summary += " &middot; " + seconds_text(totals.call_seconds) + " of calls";

  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      // Nothing but the images beside the page is loaded: no font, script or style from
      // anywhere else.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src "
      "'self' file:; style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
      "<title>zantrel-image batch: " +
      escaped(dir.filename().string()) + "</title>\n<style>" + std::string(kStyle) +
      "</style></head>\n<body><header><h1>" + escaped(dir.filename().string()) +
      "</h1><div class=\"totals\">" + summary +
      "</div>\n<div class=\"filters\"><span>service</span>" +
      filter_buttons("service",
                     [&] {
                       std::vector<std::string> values{"all"};
                       values.insert(values.end(), services.begin(), services.end());
                       return values;
                     }()) +
      "<span>outcome</span>" + filter_buttons("outcome", {"all", "ok", "failed"}) +
      "<span><b id=\"shown\">" + std::to_string(images.size()) +
      "</b> shown</span></div></header>\n<main>\n" + cards + "</main>\n";
  if (!refused.empty()) {
    html += "<section class=\"refused\"><h2>Lines refused</h2>\n";
    for (const ResultLine* line : refused) {
      html += "<p>line " + std::to_string(line->line) + ": " + escaped(line->error) + "</p>\n";
    }
    html += "</section>\n";
  }
  html += "<script>" + std::string(kScript) + "</script>\n</body></html>\n";
  return {std::move(html), static_cast<int>(images.size())};
}

}  // namespace

std::string gallery_html(const std::vector<json>& lines, const std::filesystem::path& dir) {
  std::vector<ResultLine> read;
  for (const json& line : lines) {
    if (auto one = read_result_line(line)) read.push_back(std::move(*one));
  }
  return render(read, dir).html;
}

int write_gallery(const std::filesystem::path& dir,
                  const std::optional<std::filesystem::path>& results) {
  const Page page = render(read_lines(results.value_or(dir / "results.jsonl")), dir);
  write_file_atomically((dir / "index.html").string(), host::as_bytes(page.html),
                        Durability::kCached);
  return page.cards;
}

void GalleryPage::refresh_if_due() {
  if (std::chrono::steady_clock::now() >= next_) write();
}

void GalleryPage::write() {
  const auto start = std::chrono::steady_clock::now();
  try {
    write_gallery(dir_);
  } catch (const std::exception& e) {
    if (!warned_) std::cerr << "zantrel-image: the gallery is not written: " << e.what() << "\n";
    warned_ = true;
  }
  // A results file of tens of thousands of lines takes a while to render: the page then waits
  // ten times as long, so that it never costs a run more than a tenth of its time.
  const auto end = std::chrono::steady_clock::now();
  next_ = end + std::max<std::chrono::steady_clock::duration>(kRefreshEvery, (end - start) * 10);
}

ExitCode run_gallery(const std::string& dir, const std::optional<std::string>& results) {
  const std::filesystem::path folder(dir);
  try {
    const int cards =
        write_gallery(folder, results ? std::filesystem::path(*results) : folder / "results.jsonl");
    std::cout << "wrote " << (folder / "index.html").string() << ": " << cards << " cards\n";
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kUsageError;
  }
  return ExitCode::kSuccess;
}

Command add_gallery_command(CLI::App& app) {
  CLI::App& gallery = *app.add_subcommand(
      "gallery", "write DIR/index.html: a page of a batch's images and failures, with totals");
  struct Flags {
    std::string dir;
    std::optional<std::string> results;
  };
  auto flags = std::make_shared<Flags>();
  gallery.add_option("dir", flags->dir, "the folder of the images (a batch's --out-dir)")
      ->required();
  gallery.add_option("--results", flags->results,
                     "the results file to show (default: DIR/results.jsonl)");
  return {&gallery, [flags] { return run_gallery(flags->dir, flags->results); }};
}

}  // namespace zantrel::cli
