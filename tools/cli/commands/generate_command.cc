#include "tools/cli/commands/generate_command.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/cli/commands/chat_command.h"
#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"
#include "tools/cli/core/signal_stop.h"
#include "tools/cli/jobs/job_run.h"
#include "tools/cli/output/image_facts.h"
#include "tools/cli/output/image_output.h"
#include "tools/cli/output/run_report.h"
#include "tools/cli/terminal/preview.h"
#include "tools/cli/terminal/spinner.h"
#include "tools/cli/terminal/stream_progress.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/image/corvane/corvane_client.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::cli {

namespace {

// What the previews of call `index` (from 1) of `calls` are named before their kind and number:
// the --out name without its extension, else zantrel-SERVICE, in the --previews folder.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the call's number, then how many
std::string preview_stem(const GenerateOptions& o, int index, int calls) {
  std::filesystem::path stem = o.out ? std::filesystem::path(*o.out).stem().string()
                                     : "zantrel-" + std::string(host::to_string(o.service));
  if (calls > 1) stem += "-" + std::to_string(index);
  return (std::filesystem::path(o.previews_dir.value_or(".")) / stem).string();
}

// How many of `calls` may run under `budget` once the first has cost what `first` says: as many
// as fit at its price, the first included; only the first when it had no price.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the budget, then the calls asked
std::size_t affordable_calls(const host::CallReport& first, double budget, std::size_t calls) {
  if (!first.cost) return 1;
  const double each = first.cost->usd;
  if (each <= 0) return calls;
  const double fit = std::floor(budget / each + 1e-9);
  return std::clamp<std::size_t>(fit < 1 ? 1 : static_cast<std::size_t>(std::min(fit, 1e6)), 1,
                                 calls);
}

// Why the images of `o` can't be written where they go, told before anything is sent.
std::optional<std::string> outputs_fault(const GenerateOptions& o) {
  if (!o.out) return output_fault(default_output_name(o.service, {}));
  if (o.count == 1) return output_fault(*o.out);
  for (int index = 1; index <= o.count; ++index) {
    if (auto fault = output_fault(numbered_name(*o.out, index))) return fault;
  }
  return std::nullopt;
}

Calls run_calls(const GenerateOptions& o, const CallSetup& setup, PreviewWriter* previews) {
  const std::size_t calls =
      o.service == host::Service::kGemini ? static_cast<std::size_t>(o.count) : 1;
  Calls out;
  out.reports.resize(calls);
  std::vector<CallProgress> progress(calls);
  std::vector<std::future<host::ServiceResult>> running;
  running.reserve(calls);
  const auto launch_up_to = [&](std::size_t wanted) {
    for (std::size_t i = running.size(); i < wanted; ++i) {
      auto promise = std::make_shared<std::promise<host::ServiceResult>>();
      running.push_back(promise->get_future());
      CallSetup own = setup;
      own.on_progress = observe_call(
          progress[i], previews, preview_stem(o, static_cast<int>(i) + 1, static_cast<int>(calls)));
      start_call(o, own, out.reports[i],
                 [promise](host::ServiceResult result) { promise->set_value(std::move(result)); });
    }
  };
  const bool budgeted = o.max_cost_usd.has_value();
  launch_up_to(!budgeted ? calls : *o.max_cost_usd == 0 ? 0 : 1);
  out.results.reserve(calls);
  const std::string service(host::to_string(o.service));
  run_with_spinner(
      o.count > 1 ? "generating " + std::to_string(o.count) + " with " + service
                  : "generating with " + service,
      !o.json && ::isatty(STDERR_FILENO) == 1,
      [&] {
        for (std::size_t i = 0; i < running.size(); ++i) {
          out.results.push_back(running[i].get());
          if (i == 0 && budgeted) {
            launch_up_to(affordable_calls(out.reports[0], *o.max_cost_usd, calls));
          }
        }
      },
      [&] { return progress_text(progress); });
  return out;
}

// Why the service's own members of `o` can't be used, before anything is sent.
std::optional<std::string> members_fault(const GenerateOptions& o) {
  image::tavelin::GenerationRequest gemini_checked;
  image::corvane::ImageRequest images_checked;
  return o.service == host::Service::kGemini ? gemini_members(o, gemini_checked)
                                             : images_members(o, images_checked);
}

// Why the dialect or the stream's flags can't be used (the previews' folder made here).
std::optional<std::string> stream_fault(const GenerateOptions& o) {
  if (o.dialect != "auto" && !host::parse_dialect(o.dialect)) {
    return "--dialect must be auto, gateway or direct";
  }
  if (o.partial_images && !o.stream) return "--partial-images needs --stream";
  if (o.previews_dir && !o.stream) return "--previews needs --stream";
  if (o.previews_dir) {
    std::error_code error;
    std::filesystem::create_directories(*o.previews_dir, error);
    if (error || !std::filesystem::is_directory(*o.previews_dir)) {
      return "cannot make the folder " + *o.previews_dir;
    }
  }
  return std::nullopt;
}

}  // namespace

ExitCode run_generate(const GenerateOptions& o) {
  if (auto fault = call_usage_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  if (o.continue_from || o.save_turn) return run_turn(o);
  if (auto fault = members_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  const auto access = service_access(o.service, o.base_url, o.api_key);
  if (!access) return ExitCode::kUsageError;
  if (auto fault = outputs_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "; nothing was sent\n";
    return ExitCode::kUsageError;
  }
  if (auto fault = stream_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  const host::Dialect dialect = resolve_dialect(o.dialect, o.service, access->base_url);
  std::optional<PreviewWriter> previews;
  if (o.previews_dir) previews.emplace();

  // Before the library's event thread starts, so that the signals come here.
  const StopOnSignals signals;
  const CallSetup setup{*access, dialect, make_http_client(o.allow_private_links, o.ca_file),
                        signals.token()};
  if (o.job || o.detach) return run_jobs(o, setup, dialect);
  const Calls calls = run_calls(o, setup, previews ? &*previews : nullptr);
  if (previews) {
    const auto [written_previews, faults] = previews->drain();
    for (const std::string& fault : faults) std::cerr << "zantrel-image: " << fault << "\n";
    if (!o.json) {
      for (const std::string& path : written_previews) std::cout << "preview " << path << "\n";
    }
  }
  bool all_ok = report_images(o, dialect, calls);
  if (const std::size_t asked = calls.reports.size(); calls.results.size() < asked) {
    double spent = 0;
    for (const host::CallReport& report : calls.reports) {
      spent += report.cost ? report.cost->usd : 0.0;
    }
    std::cerr << "zantrel-image: stopped at --max-cost: about " << dollars(spent) << " of "
              << dollars(*o.max_cost_usd) << " spent, " << asked - calls.results.size() << " of "
              << asked << (asked > 1 ? " calls" : " call") << " not sent"
              << (!calls.results.empty() && !calls.reports[0].cost
                      ? " (the first answer has no price, so no more can be held to the budget)"
                      : "")
              << "\n";
    all_ok = false;
  }
  if (signals.stopped()) return ExitCode::kInterrupted;
  return all_ok ? ExitCode::kSuccess : ExitCode::kFailedResult;
}

Command add_generate_command(CLI::App& app, host::Service service, SharedFlags& shared) {
  const bool is_images = service == host::Service::kImages;
  CLI::App& command =
      *app.add_subcommand(std::string(host::to_string(service)),
                          is_images ? "generate through the images API (generations / edits)"
                                    : "generate through the Gemini generateContent API");
  auto options = std::make_shared<GenerateOptions>();
  options->service = service;
  GenerateOptions& o = *options;
  command.add_option("--prompt", o.prompt, "what to draw")->required();
  add_access_flags(command, o, false);
  add_dialect_flag(command, o);
  command.add_option("--aspect-ratio", o.aspect_ratio, "e.g. 1:1, 16:9");
  command.add_option("--image-size", o.image_size,
                     "512, 1K, 2K or 4K, as the model takes (zantrel-image models)");
  command.add_option("--model", o.model, "model name (zantrel-image models lists them)");
  if (is_images) {
    command.add_option("--quality", o.quality,
                       "low, medium, high or auto (xhigh and max on the 2.5 and 2.6 models)");
    command.add_option("--response-format", o.response_format, "b64_json or url");
    command.add_option("--output-format", o.output_format,
                       "png, jpeg or webp; gif or svg on the 2.6 models (the file's extension "
                       "follows)");
    command.add_option("--complexity", o.complexity,
                       "low, medium or high: how much a 2.6 model plans the image first");
    command.add_option("--compression", o.output_compression, "0 to 100, for jpeg and webp");
    command.add_option("--background", o.background, "transparent (png or webp), opaque or auto");
    command.add_option("--moderation", o.moderation, "low or auto");
    command.add_option("--input-fidelity", o.input_fidelity,
                       "low or high: how closely an edit keeps the reference (not gpt-image-2)");
    command.add_option("--mask", o.mask,
                       "PNG (file or link) of the first reference's size: its transparent "
                       "pixels mark what to change");
    command.add_option("--user", o.user, "end-user id passed to the service");
    command.add_option("--safety-identifier", o.safety_identifier,
                       "a stable, hashed id of the end user for the service's safety checks");
    command.add_option("--partial-images", o.partial_images,
                       "with --stream: partial images to show on the way, 0 to 3");
  } else {
    command.add_option("--seed", o.seed, "seed of the model's sampling");
    command.add_option("--temperature", o.temperature, "0 to 2");
    command.add_option("--safety", o.safety,
                       "CATEGORY=THRESHOLD, e.g. HARM_CATEGORY_HARASSMENT=BLOCK_ONLY_HIGH "
                       "(repeatable)");
    command.add_option("--thinking-level", o.thinking_level,
                       "minimal or high, where the model takes it");
    command.add_flag("--text", o.text, "ask for text beside the image and print it");
    command.add_flag("--upload-refs", o.upload_refs,
                     "upload the references through the Files API (kept 48 h) and name them by "
                     "link: once for every turn of a conversation, past the 100 MB inline limit");
    command.add_option(
        "--continue", o.continue_from,
        "continue the conversation saved in this JSON file (the new turns are added)");
    command.add_option("--save-turn", o.save_turn,
                       "save the conversation with this turn to this JSON file");
  }
  command.add_option("--extra", o.extra,
                     "JSON object merged into the request body (members of later versions)");
  command.add_flag(is_images ? "--job" : "--job,--background", o.job,
                   "run the call as a job the service holds (no exchange stays open while the "
                   "image is made), recorded before it waits: zantrel-image jobs collects it "
                   "after a crash");
  command.add_flag("--detach", o.detach,
                   "submit and record the job, print its id and exit (implies --job)");
  command.add_flag("--stream", o.stream,
                   "take the answer as a stream of events: previews as they come, bytes flowing");
  command.add_option("--previews", o.previews_dir,
                     "with --stream: write each preview to this folder as it arrives");
  command.add_option("--ref", o.refs,
                     "reference image: an http(s) link or a file path (repeatable)");
  command.add_option("--timeout", o.timeout_seconds, "read time-out in seconds (0 = default)");
  command.add_option("-n,--count", o.count,
                     is_images ? "images from the one request, 1 to 10 (default 1); they go to "
                                 "NAME-1.EXT ... NAME-K.EXT"
                               : "calls to run at once, 1 to 10 (default 1); images go to "
                                 "NAME-1.EXT ... NAME-K.EXT");
  command.add_option("--max-cost", o.max_cost_usd,
                     is_images ? "US dollars: 0 sends nothing (the one request's cost is known "
                                 "only from its answer)"
                               : "US dollars: with -n, the first call goes alone and the rest only "
                                 "as far as its cost allows; 0 sends nothing");
  command.add_option("--deadline", o.deadline_seconds,
                     "bound on each call as a whole, link fetches included, in seconds");
  command.add_option("--retry", o.retry_attempts,
                     "requests per call at most (default 1): retries 429, 503 and requests "
                     "that never left, never one the service may have run");
  command.add_option("--task-id", o.task_id, "label copied into log records");
  command.add_option("--model-key", o.model_key, "label copied into log records");
  command.add_option("--out", o.out,
                     "image file to write (default: a new file named by time and type)");
  command.add_flag("--json", o.json, "print one JSON object with the outcome");
  command.add_flag("--no-metadata", o.no_metadata,
                   "write the image as the service sent it, without its prompt, model and "
                   "parameters inside (zantrel-image info FILE shows them)");
  add_preview_flag(command, o);
  add_shared_flags(command, shared);
  return {&command, [options] { return run_generate(*options); }, given_key_of(options)};
}

}  // namespace zantrel::cli
