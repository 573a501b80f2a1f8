#include "tools/cli/commands/chat_command.h"

#include <CLI/CLI.hpp>

#include "tools/cli/core/exit_code.h"
#include "tools/cli/core/flags.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "tools/cli/batch/folder_lock.h"
#include "tools/cli/core/signal_stop.h"
#include "tools/cli/output/image_facts.h"
#include "tools/cli/output/image_output.h"
#include "tools/cli/terminal/preview.h"
#include "tools/cli/terminal/spinner.h"

namespace zantrel::cli {
namespace {

namespace fs = std::filesystem;
using host::Conversation;

Conversation load(const fs::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  const auto document = nlohmann::ordered_json::parse(in, nullptr, false);
  if (document.is_discarded()) throw std::runtime_error(path.string() + " is not JSON");
  return Conversation::from_json(document, path.parent_path());
}

// The conversation to `path`, its images in NAME-images/ beside it.
void save(const Conversation& conversation, const fs::path& path) {
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  const fs::path images = folder / (path.stem().string() + "-images");
  fs::create_directories(images);
  const std::string text = conversation.to_json(images, folder).dump(2) + "\n";
  write_file_atomically(path.string(), host::as_bytes(text));
}

// Problems with the options of a turn that would make it go wrong.
std::optional<std::string> turn_fault(const GenerateOptions& o) {
  if (o.service != host::Service::kGemini) return "--continue and --save-turn are for gemini";
  if (o.count != 1) return "a conversation's turn makes one image: leave -n out";
  if (o.stream) return "a conversation's turn is not streamed: leave --stream out";
  return std::nullopt;
}

// Where turn `turn`'s image goes in `folder`: turn-K.png, unless that file is there already (an
// earlier session's, its conversation edited or removed since): it is kept, the image goes to
// the first free turn-K-N.png, and the user is told before the turn is sent.
std::string turn_output(const fs::path& folder, int turn) {
  const std::string stem = "turn-" + std::to_string(turn);
  fs::path out = folder / (stem + ".png");
  std::error_code error;
  if (!fs::exists(out, error)) return out.string();
  const fs::path taken = out;
  for (int k = 2; fs::exists(out, error); ++k) {
    out = folder / (stem + "-" + std::to_string(k) + ".png");
  }
  std::cerr << "zantrel-image: " << taken.string()
            << " is already there but is no turn of the conversation (edited or removed "
               "since?); it is kept, and this turn's image goes to "
            << out.string() << "\n";
  return out.string();
}

struct Setup {
  std::optional<CallSetup> call;
  ExitCode status = ExitCode::kSuccess;
};

// The call's set-up for `o` (address, key, dialect, HTTP stack), or the usage error.
Setup setup_of(const GenerateOptions& o, const StopOnSignals& signals) {
  const auto access = service_access(o.service, o.base_url, o.api_key);
  if (!access) return {std::nullopt, ExitCode::kUsageError};
  const host::Dialect dialect = resolve_dialect(o.dialect, o.service, access->base_url);
  return {CallSetup{*access, dialect, make_http_client(o.allow_private_links, o.ca_file),
                    signals.token()},
          ExitCode::kSuccess};
}

// One turn: the call, its image written to `out`, its line printed. Whether it went well.
bool one_turn(const GenerateOptions& o, const CallSetup& setup, Conversation& conversation,
              const std::string& out) {
  host::CallReport report;
  const auto client = gemini_client(setup);
  const auto request = gemini_request_of(o);
  const auto options = call_options_of(o, setup, report);
  std::optional<host::ServiceResult> result;
  run_with_spinner("turn " + std::to_string(conversation.exchanges() + 1) + " with gemini",
                   !o.json && ::isatty(STDERR_FILENO) == 1,
                   [&] { result = client.continue_with(conversation, request, options); });
  std::optional<std::string> written;
  std::optional<WrittenFile> file;
  bool ok = result->ok();
  if (const host::Bytes* image = result->bytes()) {
    const auto facts = o.no_metadata ? std::nullopt : std::optional(image_facts(o, report));
    try {
      file = write_image_file(out, *image, facts);
      written = out;
    } catch (const std::exception& e) {
      written = keep_image_elsewhere(o.service, *image, facts, e.what(), file);
      ok = false;
    }
  }
  if (const std::string* link = result->link(); link != nullptr && !result->bytes()) {
    std::cerr << "zantrel-image: " << unfetched_link_note(*link) << "\n";
    ok = false;
  }
  if (o.json) {
    std::cout << json_report(*result, written, setup.dialect, report, 0, file) << std::endl;
  } else {
    (result->ok() ? std::cout : std::cerr) << "turn " << report.turn.value_or(0) << ": "
                                           << human_summary(*result, written, report) << "\n";
    if (file) show_preview(std::cout, *result->bytes(), choose_preview(o.preview));
    if (o.text && report.text) std::cout << "text: " << *report.text << "\n";
  }
  return ok;
}

}  // namespace

ExitCode run_turn(const GenerateOptions& o) {
  if (auto fault = turn_fault(o)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  image::tavelin::GenerationRequest checked;
  if (auto fault = gemini_members(o, checked)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  Conversation conversation;
  if (o.continue_from) {
    try {
      conversation = load(*o.continue_from);
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << e.what() << "\n";
      return ExitCode::kUsageError;
    }
  }
  const StopOnSignals signals;
  const Setup setup = setup_of(o, signals);
  if (!setup.call) return setup.status;
  const std::string out =
      o.out ? *o.out : turn_output(".", static_cast<int>(conversation.exchanges()) + 1);
  if (auto fault = output_fault(out)) {
    std::cerr << "zantrel-image: " << *fault << "; nothing was sent\n";
    return ExitCode::kUsageError;
  }
  const bool ok = one_turn(o, *setup.call, conversation, out);
  if (ok) {
    try {
      save(conversation, o.save_turn ? *o.save_turn : *o.continue_from);
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << e.what() << "\n";
      return ExitCode::kFailedResult;
    }
  }
  if (signals.stopped()) return ExitCode::kInterrupted;
  return ok ? ExitCode::kSuccess : ExitCode::kFailedResult;
}

ExitCode run_chat(const ChatOptions& o) {
  GenerateOptions call = o.call;
  if (auto fault = turn_fault(call) ? turn_fault(call) : call_usage_fault(call)) {
    std::cerr << "zantrel-image: " << *fault << "\n";
    return ExitCode::kUsageError;
  }
  std::error_code error;
  fs::create_directories(o.out_dir, error);
  auto lock = FolderLock::take(o.out_dir, "chat");
  if (auto* held = std::get_if<std::string>(&lock)) {
    std::cerr << "zantrel-image: " << *held << "\n";
    return ExitCode::kFailedResult;
  }
  const fs::path saved = fs::path(o.out_dir) / "conversation.json";
  Conversation conversation;
  try {
    if (fs::exists(saved)) conversation = load(saved);
  } catch (const std::exception& e) {
    std::cerr << "zantrel-image: " << e.what() << "\n";
    return ExitCode::kUsageError;
  }
  const StopOnSignals signals;
  const Setup setup = setup_of(call, signals);
  if (!setup.call) return setup.status;
  const bool prompt_shown = ::isatty(STDIN_FILENO) == 1;
  bool all_ok = true;
  for (std::string line;;) {
    if (prompt_shown) std::cerr << "> " << std::flush;
    if (!std::getline(std::cin, line)) break;
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    call.prompt = line;
    const std::string out = turn_output(o.out_dir, static_cast<int>(conversation.exchanges()) + 1);
    if (auto fault = output_fault(out)) {
      std::cerr << "zantrel-image: " << *fault << "; the turn was not sent\n";
      all_ok = false;
      continue;
    }
    if (one_turn(call, *setup.call, conversation, out)) {
      try {
        save(conversation, saved);
      } catch (const std::exception& e) {
        std::cerr << "zantrel-image: " << e.what() << "\n";
        return ExitCode::kFailedResult;
      }
    } else {
      all_ok = false;
    }
    if (signals.stopped()) return ExitCode::kInterrupted;
  }
  return all_ok ? ExitCode::kSuccess : ExitCode::kFailedResult;
}

Command add_chat_command(CLI::App& app, SharedFlags& shared) {
  CLI::App& chat = *app.add_subcommand(
      "chat", "a Gemini conversation on the terminal: each line a turn, each image a file");
  auto options = std::make_shared<ChatOptions>();
  options->call.service = host::Service::kGemini;
  GenerateOptions& call = options->call;
  chat.add_option("--out-dir", options->out_dir,
                  "turn-K.png and conversation.json go here (an earlier session is continued)")
      ->required();
  add_access_flags(chat, call, false);
  add_dialect_flag(chat, call);
  chat.add_option("--model", call.model, "model name");
  chat.add_option("--aspect-ratio", call.aspect_ratio, "e.g. 1:1, 16:9");
  chat.add_option("--image-size", call.image_size, "1K, 2K or 4K");
  chat.add_flag("--text", call.text, "ask for text beside each image and print it");
  chat.add_option("--ref", call.refs,
                  "reference image sent with every turn: a link or a file path (repeatable)");
  chat.add_flag("--upload-refs", call.upload_refs,
                "upload the references once through the Files API and name them by link");
  chat.add_flag("--job,--background", call.job,
                "each turn as a job of the Interactions API, which keeps the conversation: a "
                "turn names the one before instead of sending every turn again");
  add_preview_flag(chat, call);
  chat.add_flag("--no-metadata", call.no_metadata,
                "write the images without their prompt, model and parameters inside");
  add_shared_flags(chat, shared);
  return {&chat, [options] { return run_chat(*options); },
          [options] { return options->call.api_key; }};
}

}  // namespace zantrel::cli
