#pragma once

// The exchanges of the batch and file protocols: JSON and form posts, GETs that follow no
// redirect (the key goes nowhere else), downloads into a file, and the results files' lines.

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include <simdjson.h>

#include <nlohmann/json_fwd.hpp>

#include "zantrel/host/call/batch_protocol.h"

namespace zantrel::host::internal {

Task<HttpResponse> post_json(const BatchCall& call, std::string url, std::string body);
Task<HttpResponse> post_form(const BatchCall& call, std::string url, Form form);
Task<HttpResponse> get(const BatchCall& call, std::string url);
// Writes the 200 body of `url` into `path` as it arrives (never held whole); a cut or a failed
// exchange is tried again from the start, 3 times in all. Throws the last failure, or the
// service's refusal.
Task<bool> download(const BatchCall& call, std::string url, std::filesystem::path path);

// A batch's input kept in the service's file store, or why it was not (then nothing was made).
// A stop is thrown: no batch is made before the create is sent.
struct InputFile {
  std::optional<UploadedFile> file;
  std::string refused;
};
Task<InputFile> upload_input(const BatchProtocol& protocol, std::string content,
                             std::string file_name, const BatchCall& call);

// A create's post: its answer, or none when none arrived whole (`failure` says why).
struct CreateAnswer {
  std::optional<HttpResponse> response;
  std::string failure;
};
Task<CreateAnswer> try_post_json(const BatchCall& call, std::string url, std::string body);
// What a create's answer says of the batch (create_fate); `id_of` reads the id from a JSON
// answer (empty when it names none).
CreatedBatch created_by(const CreateAnswer& answer,
                        const std::function<std::string(const nlohmann::json&)>& id_of);

// "HTTP 400: the service's message" of an answer that is not a 2xx.
std::string refusal_text(const HttpResponse& response);
// Throws ServiceRefused for an answer whose status is not `wanted`.
void require_status(const HttpResponse& response, int wanted = 200);
// The JSON object of a 200 answer; ServiceRefused for another status, ResponseShapeError naming
// `what` for an answer that is no JSON object.
nlohmann::json json_answer(const HttpResponse& response, const std::string& what);
nlohmann::json json_object_of(std::string_view text, const std::string& what);

// Each line of a JSON-lines file, padded for the JSON reader: the view's data is followed by
// `kLinePadding` readable bytes. Blank lines are skipped.
inline constexpr std::size_t kLinePadding = 64;
// Each line of a results file read into its answer by `read`, then handed to `each`. A line
// `read` can't make sense of (it throws) goes to `unreadable` (when given) and is skipped: its
// request stays unanswered, and the lines after it are read.
void each_answer_line(const std::filesystem::path& path,
                      const std::function<BatchAnswer(std::string_view)>& read,
                      const AnswerSink& each, const UnreadableSink& unreadable);
// The same with each line a JSON object read by `answer_of` (its views stay valid while `each`
// runs).
void each_json_answer(const std::filesystem::path& path, ReadAnswer answer_of,
                      const AnswerSink& each, const UnreadableSink& unreadable);

}  // namespace zantrel::host::internal
