// zantrel-image: generate an image with either service from the command line.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <string>

#include "tools/cli/batch_command.h"
#include "tools/cli/conversation_turn.h"
#include "tools/cli/demo_command.h"
#include "tools/cli/gallery.h"
#include "tools/cli/generate_command.h"
#include "tools/cli/image_facts.h"
#include "tools/cli/log_setup.h"
#include "tools/cli/models_command.h"
#include "tools/cli/provider_batch_command.h"
#include "tools/cli/secret_guard.h"
#include "zantrel/host/catalogue_refresh.h"

namespace {

void add_preview_option(CLI::App& command, zantrel::cli::GenerateOptions& o) {
  command
      .add_flag("--preview{auto}", o.preview,
                "draw a small picture of each image below its line: --preview forces it, "
                "--preview=kitty or =sixel names the terminal's protocol, =off leaves it out "
                "(default: where the terminal is known to draw pictures)")
      ->check(CLI::IsMember({"auto", "kitty", "sixel", "off"}));
}

// How a command reaches the services: the same flags wherever a command talks to them. `both`:
// one address and key for both services (else each one's environment).
template <class Options>
void add_access_options(CLI::App& command, Options& o, bool both) {
  command.add_option("--base-url", o.base_url,
                     both ? "both services' address (else each one's environment, else public)"
                          : "service address (else the environment, else the public one)");
  command.add_option("--api-key", o.api_key,
                     both ? "both services' key (else each one's environment; never echoed)"
                          : "API key (else the environment; never echoed)");
  command.add_flag("--allow-private-links", o.allow_private_links,
                   "let the services' address and links reach this machine or private networks "
                   "(needed with the emulator)");
  command.add_option("--ca-file", o.ca_file, "CA bundle to trust for https (PEM)");
}

template <class Options>
void add_dialect_option(CLI::App& command, Options& o) {
  command
      .add_option("--dialect", o.dialect,
                  "wire form: auto (default: direct for the public address, else gateway), "
                  "gateway or direct")
      ->check(CLI::IsMember({"auto", "gateway", "direct"}));
}

void add_generate_options(CLI::App& command, zantrel::cli::GenerateOptions& o, bool images) {
  command.add_option("--prompt", o.prompt, "what to draw")->required();
  add_access_options(command, o, false);
  add_dialect_option(command, o);
  command.add_option("--aspect-ratio", o.aspect_ratio, "e.g. 1:1, 16:9");
  command.add_option("--image-size", o.image_size,
                     "512, 1K, 2K or 4K, as the model takes (zantrel-image models)");
  command.add_option("--model", o.model, "model name (zantrel-image models lists them)");
  if (images) {
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
  command.add_flag("--stream", o.stream,
                   "take the answer as a stream of events: previews as they come, bytes flowing");
  command.add_option("--previews", o.previews_dir,
                     "with --stream: write each preview to this folder as it arrives");
  command.add_option("--ref", o.refs,
                     "reference image: an http(s) link or a file path (repeatable)");
  command.add_option("--timeout", o.timeout_seconds, "read time-out in seconds (0 = default)");
  command.add_option("-n,--count", o.count,
                     images ? "images from the one request, 1 to 10 (default 1); they go to "
                              "NAME-1.EXT ... NAME-K.EXT"
                            : "calls to run at once, 1 to 10 (default 1); images go to "
                              "NAME-1.EXT ... NAME-K.EXT");
  command.add_option("--max-cost", o.max_cost_usd,
                     images ? "US dollars: 0 sends nothing (the one request's cost is known "
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
  add_preview_option(command, o);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zantrel-image: generate an image with the Gemini or the images service"};
  app.require_subcommand(1);
  std::string log_target;
  app.add_option("--log", log_target,
                 "write every debug record as one JSON line to FILE (- = stderr)");
  std::string catalogue_path;
  app.add_option("--catalogue", catalogue_path,
                 "model catalogue to use instead of the built-in one (JSON, as `models --json`)");

  zantrel::cli::GenerateOptions gemini_options, images_options;
  gemini_options.service = "gemini";
  images_options.service = "images";
  auto* gemini = app.add_subcommand("gemini", "generate through the Gemini generateContent API");
  add_generate_options(*gemini, gemini_options, false);
  auto* images =
      app.add_subcommand("images", "generate through the images API (generations / edits)");
  add_generate_options(*images, images_options, true);
  auto* demo =
      app.add_subcommand("demo", "run the emulator and generate one image with each client");
  std::string out_dir = ".";
  demo->add_option("--out-dir", out_dir, "where the two images go (default: here)");
  zantrel::cli::BatchOptions batch_options;
  auto* batch = app.add_subcommand("batch", "generate every line of a JSON-lines job file");
  batch->add_option("jobs", batch_options.jobs_path, "JSON-lines job file")->required();
  batch->add_option("--out-dir", batch_options.out_dir, "images and results.jsonl go here")
      ->required();
  batch->add_option("--concurrency", batch_options.concurrency, "calls at once (default 8)");
  batch->add_option("--retry", batch_options.retry_attempts, "requests per call at most");
  batch->add_option("--deadline", batch_options.deadline_seconds,
                    "bound on each call as a whole, in seconds");
  batch->add_option("--timeout", batch_options.timeout_seconds, "read time-out in seconds");
  batch->add_flag("--resume", batch_options.resume,
                  "skip images an earlier run finished (result ok, file with its sha256)");
  batch->add_flag("--check", batch_options.check, "check every line, send nothing");
  batch->add_flag("--no-metadata", batch_options.no_metadata,
                  "write the images without their prompt, model and parameters inside");
  add_access_options(*batch, batch_options, true);
  batch->add_option("--max-cost", batch_options.max_cost_usd,
                    "stop sending once the estimated cost of this run reaches this many US "
                    "dollars (finished and running calls are kept; --resume goes on)");
  batch
      ->add_option("--via", batch_options.via,
                   "direct (calls from here, default) or provider: the services' own batch "
                   "engines, at half the price, within 24 hours")
      ->check(CLI::IsMember({"direct", "provider"}));
  batch->add_flag("--skip-pending-batches", batch_options.skip_pending_batches,
                  "direct: leave the images of the folder's provider batches that may still run "
                  "to them (else such a run is refused)");
  batch->add_option("--poll", batch_options.poll_seconds,
                    "provider: seconds before the first poll of the batches, growing to 5 "
                    "minutes while nothing changes (default 10)");
  batch->add_option("--batch-max-requests", batch_options.batch_max_requests,
                    "provider: requests per batch at most (default: the service's 50,000)");
  batch->add_option("--inline-max-mb", batch_options.inline_max_mb,
                    "provider: Gemini batches below this size go inline, larger ones as an "
                    "uploaded file (default 20, the service's limit)");
  // batch-status and batch-cancel read the records a provider run left in its folder.
  zantrel::cli::BatchOptions admin_options;
  auto* batch_status = app.add_subcommand(
      "batch-status", "the provider batches of a run's folder: state, counts, age, estimate");
  auto* batch_cancel =
      app.add_subcommand("batch-cancel", "ask the services to cancel a folder's running batches");
  for (auto* command : {batch_status, batch_cancel}) {
    command->add_option("dir", admin_options.out_dir, "the run's --out-dir")->required();
    add_access_options(*command, admin_options, true);
  }
  zantrel::cli::ChatOptions chat_options;
  chat_options.call.service = "gemini";
  auto* chat = app.add_subcommand(
      "chat", "a Gemini conversation on the terminal: each line a turn, each image a file");
  chat->add_option("--out-dir", chat_options.out_dir,
                   "turn-K.png and conversation.json go here (an earlier session is continued)")
      ->required();
  add_access_options(*chat, chat_options.call, false);
  add_dialect_option(*chat, chat_options.call);
  chat->add_option("--model", chat_options.call.model, "model name");
  chat->add_option("--aspect-ratio", chat_options.call.aspect_ratio, "e.g. 1:1, 16:9");
  chat->add_option("--image-size", chat_options.call.image_size, "1K, 2K or 4K");
  chat->add_flag("--text", chat_options.call.text, "ask for text beside each image and print it");
  chat->add_option("--ref", chat_options.call.refs,
                   "reference image sent with every turn: a link or a file path (repeatable)");
  chat->add_flag("--upload-refs", chat_options.call.upload_refs,
                 "upload the references once through the Files API and name them by link");
  add_preview_option(*chat, chat_options.call);
  chat->add_flag("--no-metadata", chat_options.call.no_metadata,
                 "write the images without their prompt, model and parameters inside");
  auto* info =
      app.add_subcommand("info", "print the prompt, model and parameters an image carries");
  std::string info_path;
  info->add_option("file", info_path, "an image zantrel-image wrote")->required();
  auto* gallery = app.add_subcommand(
      "gallery", "write DIR/index.html: a page of a batch's images and failures, with totals");
  std::string gallery_dir;
  std::optional<std::string> gallery_results;
  gallery->add_option("dir", gallery_dir, "the folder of the images (a batch's --out-dir)")
      ->required();
  gallery->add_option("--results", gallery_results,
                      "the results file to show (default: DIR/results.jsonl)");
  auto* models = app.add_subcommand(
      "models", "list the models, what they take, which are shut down; refresh from the services");
  bool models_json = false;
  bool models_markdown = false;
  zantrel::cli::ModelsOptions models_options;
  models->add_flag("--json", models_json, "the catalogue as JSON (the form --catalogue reads)");
  models->add_flag("--markdown", models_markdown, "as a Markdown table");
  models->add_flag("--refresh", models_options.refresh,
                   "ask the services' own model lists (with the keys the generating commands "
                   "use) and merge them into the user's cache, which later runs read");
  models->add_flag("--diff", models_options.diff, "print what the last refresh changed");
  add_access_options(*models, models_options, true);
  add_dialect_option(*models, models_options);
  for (auto* command : {gemini, images, batch, chat}) {
    command->add_option("--log", log_target, "as above");
    command->add_option("--catalogue", catalogue_path, "as above");
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : zantrel::cli::kUsageError;
  }
  // From here on no key reaches the terminal, whoever echoes it.
  std::vector<std::string> given_keys;
  for (const auto* key :
       {&gemini_options.api_key, &images_options.api_key, &batch_options.api_key,
        &admin_options.api_key, &chat_options.call.api_key, &models_options.api_key}) {
    if (*key) given_keys.push_back(**key);
  }
  const zantrel::cli::SecretGuard guard(zantrel::cli::run_secrets(given_keys));
  try {
    if (!log_target.empty()) zantrel::cli::log_records_to(log_target);
    if (!catalogue_path.empty()) {
      zantrel::cli::load_catalogue(catalogue_path);
    } else if (auto why = zantrel::config::use_cached_model_catalogue()) {
      std::cerr << "zantrel-image: " << *why << "; the built-in catalogue is used\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return zantrel::cli::kUsageError;
  }
  if (*gemini) return zantrel::cli::run_generate(gemini_options);
  if (*images) return zantrel::cli::run_generate(images_options);
  if (*batch) return zantrel::cli::run_batch(batch_options);
  if (*info) return zantrel::cli::run_info(info_path);
  if (*gallery) return zantrel::cli::run_gallery(gallery_dir, gallery_results);
  if (*batch_status) return zantrel::cli::run_batch_status(admin_options);
  if (*batch_cancel) return zantrel::cli::run_batch_cancel(admin_options);
  if (*chat) return zantrel::cli::run_chat(chat_options);
  if (*models) {
    models_options.format = models_json       ? zantrel::cli::ModelsFormat::kJson
                            : models_markdown ? zantrel::cli::ModelsFormat::kMarkdown
                                              : zantrel::cli::ModelsFormat::kText;
    return zantrel::cli::run_models(models_options);
  }
  return zantrel::cli::run_demo(out_dir, zantrel::cli::find_emulator());
}
