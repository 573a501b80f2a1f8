#include "tools/emulator/faults.h"

#include <httplib.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <thread>

#include "tools/emulator/connection_drop.h"
#include "tools/emulator/wire_errors.h"

namespace zantrel::emulator {
namespace {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// Bytes [offset, offset + n) of the body {"filler":"xxx...x"} of `size` bytes, made as they are
// sent so that a huge body costs no memory.
std::string oversized_piece(std::size_t offset, std::size_t n, std::size_t size) {
  static constexpr std::string_view kHead = R"({"filler":")";
  static constexpr std::string_view kTail = R"("})";
  n = std::min(n, size - offset);
  std::string piece(n, 'x');
  // Only the first and last few bytes of the body differ from the filler.
  for (std::size_t at = offset; at < std::min(offset + n, kHead.size()); ++at) {
    piece[at - offset] = kHead[at];
  }
  const std::size_t tail_start = size - kTail.size();
  for (std::size_t at = std::max(offset, tail_start); at < offset + n; ++at) {
    piece[at - offset] = kTail[at - tail_start];
  }
  return piece;
}

void answer_busy(Api api, const Scenario& s, const httplib::Request& /*req*/,
                 httplib::Response& res) {
  if (api == Api::kGemini) {
    json body = gemini_error_body(429, "Resource has been exhausted (e.g. check quota).",
                                  "RESOURCE_EXHAUSTED");
    body["error"]["details"] = {{{"@type", "type.googleapis.com/google.rpc.RetryInfo"},
                                 {"retryDelay", std::to_string(s.number(17)) + "s"}}};
    send_json(res, 429, body);
  } else {
    const std::string hint = std::to_string(s.number(20));
    res.set_header("Retry-After", hint);
    send_json(res, 429,
              images_error_body(
                  "Rate limit reached for images per minute. Please try again in " + hint + "s.",
                  "requests", nullptr, "rate_limit_exceeded"));
  }
}

void answer_status(Api api, const Scenario& s, const httplib::Request& /*req*/,
                   httplib::Response& res) {
  const auto code = static_cast<int>(s.number(500));
  if (api == Api::kImages) {
    send_json(res, code,
              images_error_body("emulated status " + std::to_string(code),
                                code >= 500 ? "server_error" : "invalid_request_error"));
  } else {
    send_json(res, code,
              gemini_error_body(code, "emulated status " + std::to_string(code), "EMULATED"));
  }
}

void answer_echo_key(Api api, const Scenario& /*s*/, const httplib::Request& req,
                     httplib::Response& res) {
  // A careless service (or proxy) repeating the key it was sent, in its text and its id.
  std::string key = req.get_header_value("x-goog-api-key");
  if (const std::string bearer = req.get_header_value("Authorization");
      bearer.starts_with("Bearer ")) {
    key = bearer.substr(7);
  }
  res.set_header("x-request-id", "req_" + key);
  if (api == Api::kImages) {
    send_json(res, 401,
              images_error_body("Incorrect API key provided: " + key + ".", "invalid_request_error",
                                nullptr, "invalid_api_key"));
  } else {
    send_json(res, 400,
              gemini_error_body(400, "API key not valid: " + key + ". Please pass a valid API key.",
                                "INVALID_ARGUMENT"));
  }
}

void answer_busy_text(Api /*api*/, const Scenario& /*s*/, const httplib::Request& /*req*/,
                      httplib::Response& res) {
  res.status = 429;
  res.set_content("Too Many Requests", "text/plain");
}

void answer_status_text(Api /*api*/, const Scenario& s, const httplib::Request& /*req*/,
                        httplib::Response& res) {
  const auto code = static_cast<int>(s.number(500));
  res.status = code;
  res.set_content("emulated status " + std::to_string(code), "text/plain");
}

void answer_status_empty_error(Api /*api*/, const Scenario& s, const httplib::Request& /*req*/,
                               httplib::Response& res) {
  const auto code = static_cast<int>(s.number(500));
  send_json(res, code, json::object());
}

void answer_not_json(Api /*api*/, const Scenario& /*s*/, const httplib::Request& /*req*/,
                     httplib::Response& res) {
  res.set_content("<html><body>Service Unavailable</body></html>", "text/html");
}

void answer_empty_body(Api /*api*/, const Scenario& /*s*/, const httplib::Request& /*req*/,
                       httplib::Response& res) {
  res.set_content("", "application/json");
}

void answer_truncated_json(Api /*api*/, const Scenario& /*s*/, const httplib::Request& /*req*/,
                           httplib::Response& res) {
  res.set_content(
      R"({"candidates":[{"content":{"parts":[{"inlineData":{"mimeType":"image/png","data":"iVBOR)",
      "application/json");
}

void answer_deep_json(Api /*api*/, const Scenario& /*s*/, const httplib::Request& /*req*/,
                      httplib::Response& res) {
  res.set_content(std::string(100000, '[') + std::string(100000, ']'), "application/json");
}

void answer_redirect(Api /*api*/, const Scenario& /*s*/, const httplib::Request& req,
                     httplib::Response& res) {
  res.set_redirect(req.path, 302);
}

void answer_oversized(Api /*api*/, const Scenario& s, const httplib::Request& /*req*/,
                      httplib::Response& res) {
  const std::size_t size = static_cast<std::size_t>(s.number(300)) << 20;
  res.set_content_provider(size, "application/json",
                           [size](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             const std::string piece = oversized_piece(
                                 offset, std::min<std::size_t>(length, 1 << 16), size);
                             sink.write(piece.data(), piece.size());
                             return true;
                           });
}

void answer_oversized_chunked(Api /*api*/, const Scenario& s, const httplib::Request& /*req*/,
                              httplib::Response& res) {
  const std::size_t size = static_cast<std::size_t>(s.number(300)) << 20;
  res.set_chunked_content_provider(
      "application/json", [size](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= size) {
          sink.done();
          return true;
        }
        const std::string piece = oversized_piece(offset, 1 << 16, size);
        sink.write(piece.data(), piece.size());
        return true;
      });
}

// The faults both services share, each answered in its service's words.
struct SharedFault {
  Fault fault;
  void (*answer)(Api, const Scenario&, const httplib::Request&, httplib::Response&);
};
constexpr SharedFault kSharedFaults[] = {
    {Fault::kBusy, answer_busy},
    {Fault::kStatus, answer_status},
    {Fault::kEchoKey, answer_echo_key},
    {Fault::kBusyText, answer_busy_text},
    {Fault::kStatusText, answer_status_text},
    {Fault::kStatusEmptyError, answer_status_empty_error},
    {Fault::kNotJson, answer_not_json},
    {Fault::kEmptyBody, answer_empty_body},
    {Fault::kTruncatedJson, answer_truncated_json},
    {Fault::kDeepJson, answer_deep_json},
    {Fault::kRedirect, answer_redirect},
    {Fault::kOversized, answer_oversized},
    {Fault::kOversizedChunked, answer_oversized_chunked},
};

}  // namespace

void send_json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

void stream_body(httplib::Response& res, std::string body, int pieces,
                 std::chrono::milliseconds pause, bool stop_halfway, std::size_t extra_announced,
                 const char* content_type) {
  auto shared = std::make_shared<std::string>(std::move(body));
  const std::size_t piece =
      std::max<std::size_t>(1, shared->size() / static_cast<std::size_t>(pieces));
  res.set_content_provider(shared->size() + extra_announced, content_type,
                           [shared, piece, pause, stop_halfway](std::size_t offset, std::size_t,
                                                                httplib::DataSink& sink) {
                             if (stop_halfway && offset >= shared->size() / 2) return false;
                             if (offset >= shared->size())
                               return false;  // announced more than there is
                             std::this_thread::sleep_for(pause);
                             const std::size_t n = std::min(piece, shared->size() - offset);
                             sink.write(shared->data() + offset, n);
                             return true;
                           });
}

void chunked_cut(httplib::Response& res, std::string body) {
  auto shared = std::make_shared<std::string>(std::move(body));
  res.set_chunked_content_provider("application/json",
                                   [shared](std::size_t offset, httplib::DataSink& sink) {
                                     if (offset > 0) return false;
                                     sink.write(shared->data(), shared->size() / 2);
                                     return true;
                                   });
}

std::chrono::milliseconds answer_pause(const Scenario& s) {
  if (s.fault == Fault::kDelay) return std::chrono::milliseconds(s.number(3000));
  if (s.fault == Fault::kSmallDelay) return std::chrono::milliseconds(s.number(200));
  return std::chrono::milliseconds(0);
}

bool wait_before_answering(const Scenario& s, const AnswerContext& context,
                           const httplib::Request& req, httplib::Response& res) {
  const std::chrono::milliseconds pause = answer_pause(s);
  if (context.idle_cut.count() > 0 && pause > context.idle_cut) {
    std::this_thread::sleep_for(context.idle_cut);
    // The gateway gives up on the exchange and closes it. Should the connection not be found,
    // the answer is cut off after its headers instead.
    if (!drop_connection(req.remote_addr, req.remote_port, context.port)) {
      stream_body(res, "{}", 1, std::chrono::milliseconds(0), true, 0);
    }
    return true;
  }
  std::this_thread::sleep_for(pause);
  return false;
}

bool answer_shared_fault(Api api, const Scenario& s, const httplib::Request& req,
                         httplib::Response& res) {
  for (const SharedFault& row : kSharedFaults) {
    if (row.fault != s.fault) continue;
    row.answer(api, s, req, res);
    return true;
  }
  return false;
}

void deliver(const Scenario& s, httplib::Response& res, std::string body) {
  if (s.fault == Fault::kTrickle) {
    stream_body(res, std::move(body), 8, std::chrono::milliseconds(s.number(300)), false, 0);
  } else if (s.fault == Fault::kReset) {
    stream_body(res, std::move(body), 8, 0ms, true, 0);
  } else if (s.fault == Fault::kTruncated) {
    stream_body(res, std::move(body), 1, 0ms, false, 1000);
  } else if (s.fault == Fault::kChunkedCut) {
    chunked_cut(res, std::move(body));
  } else {
    res.set_content(body, "application/json");
  }
}

}  // namespace zantrel::emulator
