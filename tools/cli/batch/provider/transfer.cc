#include "tools/cli/batch/provider/transfer.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "tools/cli/output/image_output.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::cli {
namespace {

constexpr int kDownloadAttempts = 3;

host::CallLimits limits_of(const CallSetup& setup) { return {setup.stop, std::nullopt}; }

// Takes a 200 body into a file; any other answer stays in the response for its text.
class FileReceiver final : public host::BodyReceiver {
 public:
  explicit FileReceiver(const std::filesystem::path& path)
      : path_(path), file_(std::fopen(path.c_str(), "wb"), &std::fclose) {
    if (!file_) throw std::runtime_error("cannot write " + path.string());
  }
  bool accept(int status, const host::Headers&) override {
    if (status != 200) return false;
    // A redirect's or an earlier attempt's bytes never stay in front of the body.
    file_.reset(std::fopen(path_.c_str(), "wb"));
    if (!file_) throw std::runtime_error("cannot write " + path_.string());
    return true;
  }
  void receive(host::ByteView chunk) override {
    if (std::fwrite(chunk.data(), 1, chunk.size(), file_.get()) != chunk.size()) {
      throw std::runtime_error("cannot write " + path_.string());
    }
  }
  void close() {
    if (std::fflush(file_.get()) != 0) throw std::runtime_error("cannot write " + path_.string());
    file_.reset();
  }

 private:
  std::filesystem::path path_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
};

}  // namespace

host::HttpResponse post_json(const CallSetup& setup, const std::string& url,
                             const host::Headers& headers, std::string_view body) {
  host::PostRequest request;
  request.headers = headers;
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = host::JsonBody::of(body);
  request.timeout = setup.http->base_timeout();
  request.limits = limits_of(setup);
  return setup.http->post(url, request);
}

host::HttpResponse post_form(const CallSetup& setup, const std::string& url,
                             const host::Headers& headers, const host::Form& form) {
  host::PostRequest request;
  request.headers = headers;
  request.body = form;
  request.timeout = setup.http->base_timeout();
  request.limits = limits_of(setup);
  return setup.http->post(url, request);
}

host::HttpResponse get(const CallSetup& setup, const std::string& url,
                       const host::Headers& headers) {
  host::GetRequest request;
  request.headers = headers;
  request.timeout = setup.http->base_timeout();
  request.limits = limits_of(setup);
  request.max_redirects = 0;  // the key goes nowhere else
  return setup.http->get(url, request);
}

void download(const CallSetup& setup, const std::string& url, const host::Headers& headers,
              const std::filesystem::path& path) {
  for (int attempt = 1;; ++attempt) {
    FileReceiver receiver(path);
    host::GetRequest request;
    request.headers = headers;
    request.timeout = setup.http->base_timeout();
    request.limits = limits_of(setup);
    request.max_redirects = 0;
    request.receiver = &receiver;
    try {
      const host::HttpResponse response = setup.http->get(url, request);
      if (response.status_code != 200) {
        throw std::runtime_error("cannot download the results: " + refusal_text(response));
      }
      receiver.close();
      return;
    } catch (const host::Error& e) {
      if (e.failure_kind() == host::FailureKind::kCancelled || attempt == kDownloadAttempts) {
        throw;
      }
    }
  }
}

std::string refusal_text(const host::HttpResponse& response) {
  std::string message(response.text().substr(0, 300));
  const auto body = nlohmann::json::parse(response.text(), nullptr, false);
  if (body.is_object() && body.contains("error") && body["error"].is_object() &&
      body["error"].value("message", nlohmann::json()).is_string()) {
    message = body["error"]["message"].get<std::string>();
  }
  if (message.find_first_not_of(" \t\r\n") == std::string::npos) {
    message = response.status_code == 404 ? "the service knows no such batch or file"
                                          : "the service gave no error text";
  }
  return "HTTP " + std::to_string(response.status_code) + ": " + terminal_text(message);
}

void each_padded_line(const std::filesystem::path& path,
                      const std::function<void(std::string_view)>& each) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::string line;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::size_t size = line.size();
    line.append(kLinePadding, ' ');
    each(std::string_view(line.data(), size));
  }
}

void each_answer_line(const std::filesystem::path& path,
                      const std::function<BatchAnswer(std::string_view)>& read,
                      const std::function<void(const BatchAnswer&)>& each) {
  int number = 0;
  each_padded_line(path, [&](std::string_view text) {
    ++number;
    std::optional<BatchAnswer> answer;
    try {
      answer = read(text);
    } catch (const std::exception& e) {
      std::cerr << "zantrel-image: " << path.filename().string() << " line " << number
                << " can't be read (" << e.what() << "); its image is left\n";
      return;
    }
    each(*answer);
  });
}

}  // namespace zantrel::cli
