#include "zantrel/host/call/batch_transfer.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

constexpr int kDownloadAttempts = 3;
constexpr std::size_t kShownErrorBytes = 300;

// Takes a 200 body into a file; any other answer stays in the response for its text.
class FileReceiver final : public BodyReceiver {
 public:
  explicit FileReceiver(std::filesystem::path path)
      : path_(std::move(path)), file_(std::fopen(path_.c_str(), "wb"), &std::fclose) {
    if (!file_) throw Error("cannot write " + path_.string());
  }
  bool accept(int status, const Headers& /*headers*/) override {
    if (status != 200) return false;
    // A redirect's or an earlier attempt's bytes never stay in front of the body.
    file_.reset(std::fopen(path_.c_str(), "wb"));
    if (!file_) throw Error("cannot write " + path_.string());
    return true;
  }
  void receive(ByteView chunk) override {
    if (std::fwrite(chunk.data(), 1, chunk.size(), file_.get()) != chunk.size()) {
      throw Error("cannot write " + path_.string());
    }
  }
  void close() {
    if (std::fflush(file_.get()) != 0) throw Error("cannot write " + path_.string());
    file_.reset();
  }

 private:
  std::filesystem::path path_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

// A download that failed leaves no file behind.
void forget(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
}

GetRequest get_request(const BatchCall& call) {
  GetRequest request;
  request.headers = {call.auth};
  request.timeout = call.timeout;
  request.max_redirects = 0;  // the key goes nowhere else
  return request;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the address, then what goes there
Task<HttpResponse> post_json(const BatchCall& call, std::string url, std::string body) {
  PostRequest request;
  request.headers = {call.auth, {"Content-Type", "application/json"}};
  request.body = JsonBody::of(body);
  request.timeout = call.timeout;
  co_return co_await call.exchange.post(url, request);
}

Task<HttpResponse> post_form(const BatchCall& call, std::string url, Form form) {
  PostRequest request;
  request.headers = {call.auth};
  request.body = std::move(form);
  request.timeout = call.timeout;
  co_return co_await call.exchange.post(url, request);
}

Task<HttpResponse> get(const BatchCall& call, std::string url) {
  GetRequest request = get_request(call);
  co_return co_await call.exchange.get(url, request);
}

Task<bool> download(const BatchCall& call, std::string url, std::filesystem::path path) {
  for (int attempt = 1;; ++attempt) {
    FileReceiver receiver(path);
    GetRequest request = get_request(call);
    request.receiver = &receiver;
    std::exception_ptr failure;
    try {
      const HttpResponse response = co_await call.exchange.get(url, request);
      if (response.status_code != 200) {
        throw ServiceRefused(response.status_code, "cannot download " + path.filename().string() +
                                                       ": " + refusal_text(response));
      }
      receiver.close();
      co_return true;
    } catch (const ServiceRefused&) {
      forget(path);
      throw;
    } catch (const Error& e) {
      if (e.failure_kind() == FailureKind::kCancelled || attempt == kDownloadAttempts) {
        forget(path);
        throw;
      }
    }
  }
}

Task<InputFile> upload_input(const BatchProtocol& protocol, std::string content,
                             std::string file_name, const BatchCall& call) {
  InputFile out;
  const std::string mime_type = "application/jsonl";
  try {
    out.file = co_await protocol.upload(as_bytes(content), mime_type, file_name, call);
  } catch (const Error& e) {
    const FailureKind kind = e.failure_kind();
    if (kind == FailureKind::kCancelled || kind == FailureKind::kDeadlineExceeded) throw;
    out.refused = std::string("the batch's input file was not kept: ") + e.what();
  }
  co_return out;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the address, then what goes there
Task<CreateAnswer> try_post_json(const BatchCall& call, std::string url, std::string body) {
  CreateAnswer answer;
  try {
    answer.response = co_await post_json(call, std::move(url), std::move(body));
  } catch (const std::exception& e) {
    answer.failure = e.what();
  }
  co_return answer;
}

CreatedBatch created_by(const CreateAnswer& answer,
                        const std::function<std::string(const nlohmann::json&)>& id_of) {
  if (!answer.response) return {CreateFate::kUnknown, "", answer.failure};
  const HttpResponse& response = *answer.response;
  const auto body = nlohmann::json::parse(response.text(), nullptr, false);
  const std::string id = body.is_object() ? id_of(body) : std::string();
  switch (create_fate(response.status_code, !id.empty())) {
    case CreateFate::kMade:
      return {CreateFate::kMade, id, ""};
    case CreateFate::kRefused:
      return {CreateFate::kRefused, "", refusal_text(response)};
    case CreateFate::kUnknown:
      break;
  }
  const bool answered = response.status_code >= 200 && response.status_code < 300;
  return {CreateFate::kUnknown, "",
          answered ? "the create's answer names no batch" : refusal_text(response)};
}

std::string refusal_text(const HttpResponse& response) {
  std::string message(response.text().substr(0, kShownErrorBytes));
  const auto body = nlohmann::json::parse(response.text(), nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_object() &&
      body["error"].value("message", nlohmann::json()).is_string()) {
    message = body["error"]["message"].get<std::string>();
  }
  if (message.find_first_not_of(" \t\r\n") == std::string::npos) {
    message = response.status_code == 404 ? "the service knows no such batch, file or job"
                                          : "the service gave no error text";
  }
  return "HTTP " + std::to_string(response.status_code) + ": " + message;
}

void require_status(const HttpResponse& response, int wanted) {
  if (response.status_code != wanted) {
    throw ServiceRefused(response.status_code, refusal_text(response));
  }
}

nlohmann::json json_answer(const HttpResponse& response, const std::string& what) {
  require_status(response);
  return json_object_of(response.text(), what);
}

nlohmann::json json_object_of(std::string_view text, const std::string& what) {
  nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
  if (!object.is_object()) throw ResponseShapeError(what + ": the answer is no JSON object");
  return object;
}

void each_answer_line(const std::filesystem::path& path,
                      const std::function<BatchAnswer(std::string_view)>& read,
                      const AnswerSink& each, const UnreadableSink& unreadable) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileReadError("cannot read " + path.string());
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    ++number;
    const std::size_t size = line.size();
    line.append(kLinePadding, ' ');
    std::optional<BatchAnswer> answer;
    try {
      answer = read(std::string_view(line.data(), size));
    } catch (const std::exception& e) {
      if (unreadable) unreadable(number, e.what());
      continue;
    }
    each(*answer);
  }
}

void each_json_answer(const std::filesystem::path& path, ReadAnswer answer_of,
                      const AnswerSink& each, const UnreadableSink& unreadable) {
  // The parser outlives each answer: the keys it unescaped are views into it.
  simdjson::ondemand::parser parser;
  each_answer_line(
      path,
      [&](std::string_view text) {
        simdjson::ondemand::document doc =
            parser.iterate(text.data(), text.size(), text.size() + kLinePadding);
        simdjson::ondemand::object line = doc.get_object();
        return answer_of(line);
      },
      each, unreadable);
}

}  // namespace zantrel::host::internal
