#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/base/call_limits.h"
#include "zantrel/host/base/timeout.h"
#include "zantrel/host/http/streamed_body.h"
#include "zantrel/host/result/transfer_facts.h"

namespace zantrel::host {

using Headers = std::vector<std::pair<std::string, std::string>>;

// A body that is already JSON text, sent as is. Held as bytes so that large bodies can be
// written into a buffer sized once without clearing it first.
struct JsonBody {
  Bytes bytes;

  static JsonBody of(std::string_view text) { return {to_bytes(text)}; }
  std::string_view text() const noexcept { return as_text(bytes); }
};

struct FormField {
  std::string name;
  std::string value;
};

// One file part of a multipart form. `content` is borrowed: it must outlive the post call,
// which streams it to the socket without copying.
struct FilePart {
  std::string name;
  std::string filename;
  std::string content_type;
  ByteView content;
};

struct Form {
  std::vector<FormField> fields;
  std::vector<FilePart> files;
};

// How far an exchange has got, as it goes.
struct TransferProgress {
  enum class Phase {
    kConnecting,  // opening the connection (TLS included)
    kUploading,   // sending the request
    kWaiting,     // the request is out; no answer yet
    kReceiving,   // the answer is coming in
  };
  Phase phase = Phase::kConnecting;
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
};

// Told of every change of phase, and of the byte counts now and then (a few times a second at
// most), on the thread that drives the exchange. It must not block; what it throws is dropped.
using TransferObserver = std::function<void(const TransferProgress&)>;

// Takes the body of an answer as it arrives (a stream of events) instead of the response
// holding it whole. Called on the thread that drives the exchange.
class BodyReceiver {
 public:
  virtual ~BodyReceiver() = default;
  // The answer's status and headers, before its first body byte: true to be handed the body,
  // which the response then leaves out. Asked again for each attempt.
  virtual bool accept(int status, const Headers& headers) = 0;
  // The next bytes of an accepted body; the response size cap counts them. What it throws ends
  // the exchange with that failure.
  virtual void receive(ByteView chunk) = 0;
};

// The body of a post: JSON text held whole, a multipart form, or a body streamed in segments
// (a client of a host's own that can't stream one sends `flatten(body)`).
struct PostRequest {
  Headers headers;
  std::variant<JsonBody, Form, StreamedBody> body;
  Timeout timeout;
  // A stop request or a passed deadline ends the exchange (Cancelled, DeadlineExceeded).
  CallLimits limits;
  // Both optional, and a stack of a host's own may ignore them: the body then comes whole in
  // the response, and a caller that asked for it as it arrives reads it from there.
  BodyReceiver* receiver = nullptr;
  TransferObserver on_progress;
};

// A GET of a link (image fetches). Redirects are followed up to `max_redirects`, only to
// http and https.
struct GetRequest {
  Headers headers;
  Timeout timeout;
  int max_redirects = 5;
  CallLimits limits;
  // As for a post: the body handed over as it arrives (a large download written to a file).
  BodyReceiver* receiver = nullptr;
};

struct HttpResponse {
  int status_code = 0;
  // Response headers in the order received (of the last response when redirects were followed).
  Headers headers;
  // The raw body. The default client leaves spare capacity behind it so that it can be parsed
  // in place.
  Bytes body;

  // What the stack learnt about the exchange; empty fields when it can't tell.
  TransferFacts transfer;

  std::string_view text() const noexcept { return as_text(body); }
  // The value of the first header named `name` (any letter case), nothing when absent.
  std::optional<std::string_view> header(std::string_view name) const noexcept;
  // The body decoded as JSON; throws JSONDecodeError when it is not JSON. Meant for hosts and
  // small bodies: the clients read large bodies with a faster parser.
  nlohmann::ordered_json json() const;
};

// What a non-blocking exchange hands to its completion: the response, or the failure that
// the blocking call would have thrown.
using HttpOutcome = std::variant<HttpResponse, std::exception_ptr>;
using HttpCompletion = std::function<void(HttpOutcome)>;

// Throws InvalidHeader when a header name is not a token or a value holds CR, LF or NUL.
// The message names the header, never its value.
void check_headers(const Headers& headers);

// Throws UnsupportedScheme unless `url` starts with http:// or https:// (any letter case), and
// InvalidURL when it holds a blank or a control character.
void check_http_url(const std::string& url);

// The HTTP stack every request of the library goes through. The process-wide instance is
// `zantrel::config::http_client()`; a host may replace it. Implementations must be safe to use
// from several threads at once.
//
// Failures are thrown as kinds of `zantrel::host::Error`: ReadTimeout when no byte arrived for
// the read time-out once connected (and only then), ConnectTimeout, ConnectionError, TlsError,
// ResponseTooLarge, InvalidHeader, UnsupportedScheme, ... A status other than 2xx is not a
// failure.
//
// The non-blocking forms run `done` exactly once with the outcome. A stack with an event loop
// runs it on the loop's thread, where it must not block; the defaults here run the blocking
// call and then `done` on the calling thread before returning. `url` and `request` must stay
// alive until `done` has run.
class HttpClient {
 public:
  virtual ~HttpClient() = default;
  virtual HttpResponse post(const std::string& url, const PostRequest& request) = 0;
  virtual HttpResponse get(const std::string& url, const GetRequest& request) = 0;
  virtual Timeout base_timeout() const = 0;

  virtual void post_async(const std::string& url, const PostRequest& request, HttpCompletion done);
  virtual void get_async(const std::string& url, const GetRequest& request, HttpCompletion done);
  // Runs `done` once `delay` has passed, or as soon as `stop` is requested (a pause between
  // attempts). The default waits on the calling thread.
  virtual void wait_async(std::chrono::milliseconds delay, std::stop_token stop,
                          std::function<void()> done);
};

}  // namespace zantrel::host
