#pragma once

#include <string>

#include "tools/cli/commands/generate_command.h"
#include "tools/cli/core/exit_code.h"

namespace zantrel::cli {

// `gemini --continue FILE` and `--save-turn FILE`: one turn of a conversation saved as JSON
// (read from the --continue file, the new turns saved to the --save-turn file, else back to the
// --continue one, its images beside it in NAME-images/). Writes the image as run_generate does.
ExitCode run_turn(const GenerateOptions& o);

// `chat --out-dir DIR`: a terminal session, each line of standard input a turn. Images go to
// DIR/turn-K.png and the conversation to DIR/conversation.json after each turn, so a session can
// be picked up again with `gemini --continue DIR/conversation.json`.
struct ChatOptions {
  GenerateOptions call;  // the service's address, key, model and members; no prompt
  std::string out_dir;
};
ExitCode run_chat(const ChatOptions& o);

}  // namespace zantrel::cli
