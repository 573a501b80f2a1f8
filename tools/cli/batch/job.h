#pragma once

#include <optional>
#include <string>
#include <variant>

#include "tools/cli/core/call_setup.h"

namespace zantrel::cli {

// One usable line of a job file: the call it asks for (as the single commands take it), how
// many images, and the stem of their files.
struct BatchItem {
  int line = 0;
  GenerateOptions call;
  int count = 1;
  std::string name;
  bool named = false;  // the line gave its "name"; else it is the line number (or made unique)
  // The sha256 of what the line asks, "name" and "n" left out: a resumed run knows by it
  // whether a recorded image was made from this request.
  std::string request;
};

// The stem of an item's image `index` (1-based): its name, with "-INDEX" when it makes several.
std::string image_stem(const BatchItem& item, int index);
// The key of an image of a run: its name and index, whatever line of the job holds it.
std::string image_key(const std::string& name, int index);

// Reads line `line` of a job file: one JSON object with "service" ("gemini" or "images"),
// "prompt", and optionally "aspect_ratio", "image_size", "model", "refs" (links or paths), "n"
// (images, each its own call), "name", "task_id", "model_key", "dialect", "extra" (an object),
// Gemini's "seed", "temperature", "safety" (an object of category: threshold),
// "thinking_level", "text", "background": true (the call as a job the service holds), and the
// images API's "quality", "output_format",
// "output_compression", "background", "moderation", "input_fidelity", "mask", "user". Gives the
// item, or why the line can't be used (bad JSON, an unknown member or service, one of the other
// service, a missing prompt, a value of the wrong type, a reference path that can't be read).
std::variant<BatchItem, std::string> read_batch_line(const std::string& text, int line);

}  // namespace zantrel::cli
