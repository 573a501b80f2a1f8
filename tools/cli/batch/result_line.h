#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace zantrel::cli {

// One line of DIR/results.jsonl: what a run recorded for one image, or for a job line it
// refused. This module is the one place its keys are named: the run writes lines through
// `to_json`, and every reader (resume, provider batches, the gallery) reads them through
// `read_result_line`.
struct ResultLine {
  int line = 0;  // the job file's line
  // A refused line: why (it has nothing below).
  std::string error;
  std::string name;
  int index = 1;        // the image's number within its line
  bool named = true;    // the line gave its name (else it was made from the line's number)
  std::string request;  // digest of what the line asked
  std::string service;
  std::string prompt;
  std::string at;           // when recorded (RFC 3339)
  std::string file;         // the image's file in the folder, when written
  std::string write_error;  // why the image is not in `file` (kept elsewhere, or only a link)
  std::string kept;         // where the image was kept instead
  std::string via;          // "provider" when read from a provider batch
  std::string batch;        // the provider batch's id
  std::string from_link;    // the recorded link an image was fetched from, rather than bought
  // The call's outcome ("result": the report object a single call prints with --json); the
  // members the readers use, typed.
  struct Outcome {
    bool ok = false;
    std::string code;
    std::string msg;
    std::string link;
    std::string sha256;
    std::string failure_kind;
    std::string model_sent;
    std::string prices_as_of;
    std::optional<double> width;
    std::optional<double> height;
    std::optional<double> total_tokens;
    std::optional<double> cost_usd;
    std::optional<double> total_seconds;
  };
  std::optional<Outcome> result;
};

// The line as written: its members in a fixed order, then `result` (the report object, when
// the line has one).
nlohmann::ordered_json to_json(const ResultLine& line,
                               const nlohmann::ordered_json& result = nullptr);

// A line as read back: nothing when it is no object or has no whole-number "line". Members of
// the wrong type read as absent (a file from elsewhere may hold anything); measures must lie
// from 0 to a trillion.
std::optional<ResultLine> read_result_line(const nlohmann::ordered_json& object);

}  // namespace zantrel::cli
