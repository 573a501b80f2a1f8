#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "zantrel/host/result/cost.h"

namespace zantrel::host {

// How far a call's request got. It says whether trying again could run the work twice.
enum class Delivery {
  // The request never reached the service complete (a refused parameter or reference, name
  // lookup, connect, TLS, a refused header, a reset during the upload). Safe to send again.
  kNotSent,
  // Sent complete, but no complete answer came (read time-out, reset or cut while waiting or
  // reading). The service may have run, and billed, the request.
  kNoAnswer,
  // An HTTP status came back.
  kAnswered,
};

std::string_view to_string(Delivery delivery) noexcept;  // "not_sent", "no_answer", "answered"

// Tokens a call used, as the service counted them.
struct Usage {
  std::optional<std::int64_t> input_tokens;
  std::optional<std::int64_t> output_tokens;
  std::optional<std::int64_t> total_tokens;
  // The service's own usage object as given (Gemini "usageMetadata", images "usage"), or null.
  nlohmann::ordered_json raw;
};

// The image a call returned, from its own header.
struct ImageReport {
  std::string mime;  // empty when no known signature
  std::optional<int> width;
  std::optional<int> height;
  std::size_t bytes = 0;
  // Whether its ratio is the one asked (within 1%); nothing when none was asked or readable.
  std::optional<bool> matches_request;
};

// What an images API answer says of the images it made (each empty when it did not say).
struct ImageAnswer {
  std::optional<std::string> revised_prompt;  // the prompt as the model rewrote it
  std::optional<std::string> output_format;
  std::optional<std::string> size;
  std::optional<std::string> quality;
  std::optional<std::string> background;
  std::optional<std::string> generation_id;  // the service's own id of the generation
  // An SVG answer's account of the tokens its writer model used, as given; null when absent.
  nlohmann::ordered_json svg_usage;
  // A streamed answer: the completed event's "sequence_number" (its place among the events).
  std::optional<std::int64_t> sequence_number;
};

// A call run as a job (a background call, or the collecting of a job submitted before).
struct JobReport {
  std::string id;
  // Whether this call submitted the job; false when it collected one submitted earlier (by this
  // process or one before it), so that nothing was sent to be made again.
  bool submitted = false;
  int polls = 0;      // the job's state asked for, the last answer included
  std::string state;  // the service's last word on it: completed, failed, ...
};

// Seconds from the start of the call.
struct CallTimings {
  std::optional<double> connect;     // connection ready (TLS included)
  std::optional<double> sent;        // request sent complete
  std::optional<double> first_byte;  // first byte of the answer
  std::optional<double> total;       // the call returned
};

// What a call did and cost, beside its result. Filled on every path of `start` and
// `generate_image` when `CallOptions::report` points at one; a result is the same either way.
// Values the call could not learn (a host's HttpClient that reports no transfer facts, a
// service that sends no usage) stay empty.
struct CallReport {
  Delivery delivery = Delivery::kNotSent;
  std::optional<std::string> failure_kind;  // e.g. "ReadTimeout"; empty on success
  std::optional<int> http_status;
  // The service's error details: Gemini {"status", "code"}; images {"type", "code", "param"};
  // null when the answer had none.
  nlohmann::ordered_json service_error;
  // When to try again, from Retry-After (seconds or an HTTP date), retry-after-ms, or Gemini's
  // google.rpc.RetryInfo "retryDelay".
  std::optional<double> retry_after_s;
  std::optional<std::string> request_id;  // x-request-id, else Gemini's responseId
  Usage usage;
  // What the call cost at the catalogue's prices of the model sent, from `usage`; empty when
  // the service counted no tokens or the catalogue has no prices for the model.
  std::optional<CostEstimate> cost;
  // The model the request named, and why it is sent so (a retired model sent as its
  // replacement, a name the catalogue does not know sent unchecked); empty when refused before
  // sending. `model_warning`: what the caller should know of the model (a shutdown ahead, a
  // service that no longer lists it).
  std::optional<std::string> model_sent;
  std::optional<std::string> model_note;
  std::optional<std::string> model_warning;
  std::optional<std::string> model_version;
  // Gemini: the model's own text beside the image (its text parts, thoughts left out).
  std::optional<std::string> text;
  std::optional<std::string> finish_reason;
  std::optional<std::string> block_reason;  // Gemini promptFeedback.blockReason
  std::optional<ImageReport> image;
  // Every image returned, in order (the first is `image`): several for an images call with n > 1.
  std::vector<ImageReport> images;
  ImageAnswer answer;
  CallTimings timings;
  std::optional<std::uint64_t> bytes_sent;
  std::optional<std::uint64_t> bytes_received;
  int attempts = 0;  // requests sent to the service (0 when refused before sending)
  // A conversation's call: which exchange it made (1 for the first).
  std::optional<int> turn;
  // Reference images uploaded to the service's file store for the call (Gemini's
  // `upload_references`), their bytes, and how often a cut upload went on from where it stopped.
  int files_uploaded = 0;
  std::uint64_t file_bytes_uploaded = 0;
  int upload_resumes = 0;
  // A streamed answer: the events read, the previews among them, and when the first preview
  // arrived (seconds from the start of the call). Zero and empty for an answer not streamed.
  int stream_events = 0;
  int previews = 0;
  std::optional<double> first_preview_s;
  // A call run as a job; empty for a call answered in its own exchange.
  std::optional<JobReport> job;
};

// The report as one JSON object with snake_case keys; unknown values are null.
nlohmann::ordered_json to_json(const CallReport& report);

}  // namespace zantrel::host
