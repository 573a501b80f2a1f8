#include "zantrel/host/http/internal/curl_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stop_token>

#include "zantrel/host/http/internal/curl_handles.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

using Clock = std::chrono::steady_clock;

// Bodies of tens of megabytes go out in fewer, larger writes than libcurl's 64 KiB default.
constexpr long kUploadBufferBytes = 512L * 1024;
// Spare bytes kept behind a response body so that JSON parsers can read it in place.
constexpr std::size_t kBodyPadding = 64;
// A body up to this size goes out in the same write as the request's head (libcurl appends
// posted bytes below its own 64 KiB limit to the head), as other HTTP stacks send small
// requests. A request that fits one segment survives a server whose listen queue overflowed:
// the SYN cookie is checked on each segment that arrives before the server took the
// connection, and only the first segment of a request passes (the others get a reset).
constexpr std::size_t kOneWriteBodyBytes = std::size_t{60} << 10;
// Response headers beyond this are a hostile or broken service. Below libcurl's own limit
// (300 KB), so that endless headers end as ResponseTooLarge rather than a receive error.
constexpr std::size_t kMaxHeaderBytes = std::size_t{256} << 10;
// Streams a borrowed file part to libcurl without copying it first.
struct PartReader {
  ByteView content;
  std::size_t offset = 0;
};

}  // namespace

struct CurlTransfer::State {
  CURL* easy = nullptr;
  std::string url;
  SlistHandle headers;
  MimeHandle mime;
  // The form's file parts, streamed by the callbacks below (which point into this vector).
  std::vector<PartReader> readers;
  // The place this transfer holds while its connection is being opened, since when the
  // present attempt runs and how long all attempts may take.
  ConnectGate::Pass opening;
  Clock::time_point attempt_started;
  Clock::time_point connect_started;
  std::chrono::milliseconds connect_timeout{0};
  bool new_socket = false;
  // The new socket the request went out on (the last one opened: with two addresses tried at
  // once, a port that doesn't match leaves it unknown), to learn what became of it once libcurl
  // closed it.
  ClosedSockets* closed = nullptr;
  curl_socket_t socket = CURL_SOCKET_BAD;
  long local_port = -1;
  // A streamed body, encoded into libcurl's upload buffer as the socket takes it.
  std::optional<StreamedBodyReader> streamed;
  // A small streamed body, flattened so that it leaves with the head.
  Bytes small_body;
  Bytes body;
  std::size_t max_body = 0;
  bool body_too_large = false;
  std::size_t header_bytes = 0;
  bool headers_too_large = false;
  std::chrono::milliseconds read_timeout{0};
  CallLimits limits;
  std::optional<std::stop_callback<std::function<void()>>> stop_watch;
  bool cancelled = false;
  bool deadline_passed = false;
  Clock::time_point last_activity = Clock::now();
  bool connected = false;
  bool public_only = false;
  std::string refused_address;
  bool read_timed_out = false;
  curl_off_t seen_down = 0;
  curl_off_t seen_up = 0;
  char error_text[CURL_ERROR_SIZE] = {};
  // What the report of a call needs: when the request was out whole, whether an answer began,
  // and the answer's headers.
  Clock::time_point started = Clock::now();
  std::optional<Clock::time_point> sent_at;
  std::optional<Clock::time_point> answered_at;  // first status line of the answer
  bool answer_started = false;
  Headers response_headers;
  // A body taken as it arrives: whether the receiver took it, how much it was handed (the cap
  // counts it) and what it failed with.
  BodyReceiver* receiver = nullptr;
  bool body_begun = false;
  bool receiving = false;
  std::size_t received = 0;
  std::exception_ptr receiver_failure;
  // Who is told how far the exchange got, and what it was told last.
  TransferObserver observer;
  std::optional<TransferProgress::Phase> told_phase;
  TransferProgress told;
  Clock::time_point told_at{};
};

namespace {

using State = CurlTransfer::State;

void reserve_for(State& t, std::size_t incoming) {
  const std::size_t needed = t.body.size() + incoming;
  std::size_t target = std::max(needed, t.body.capacity() * 2);
  curl_off_t announced = -1;
  if (curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
      announced > 0 && static_cast<std::size_t>(announced) >= needed) {
    // The announced length sizes the buffer once.
    target = static_cast<std::size_t>(announced);
  }
  target = std::min(target, t.max_body);
  t.body.reserve(std::max(target, needed) + kBodyPadding);
}

TransferProgress::Phase phase_of(const State& t) {
  using Phase = TransferProgress::Phase;
  if (t.answer_started) return Phase::kReceiving;
  if (t.sent_at) return Phase::kWaiting;
  return t.connected ? Phase::kUploading : Phase::kConnecting;
}

// Tells the observer of a new phase at once, and of new byte counts at this pace at most.
void tell_progress(State& t, Clock::time_point now) {
  constexpr auto kCountsEvery = std::chrono::milliseconds(50);
  if (!t.observer) return;
  TransferProgress progress;
  progress.phase = phase_of(t);
  progress.bytes_sent = static_cast<std::uint64_t>(std::max<curl_off_t>(t.seen_up, 0));
  progress.bytes_received =
      std::max(static_cast<std::uint64_t>(std::max<curl_off_t>(t.seen_down, 0)), t.received);
  const bool new_phase = t.told_phase != progress.phase;
  const bool new_counts =
      progress.bytes_sent != t.told.bytes_sent || progress.bytes_received != t.told.bytes_received;
  if (!new_phase && (!new_counts || now - t.told_at < kCountsEvery)) return;
  t.told_phase = progress.phase;
  t.told = progress;
  t.told_at = now;
  try {
    t.observer(progress);
  } catch (...) {
    // An observer's failure is not the exchange's.
  }
}

// Hands a body the receiver took on; 0 (which aborts the transfer) past the cap or when the
// receiver fails.
std::size_t to_receiver(State& t, const char* data, std::size_t n) {
  if (n > t.max_body - t.received) {
    t.body_too_large = true;
    return 0;
  }
  t.received += n;
  try {
    t.receiver->receive(ByteView(reinterpret_cast<const std::uint8_t*>(data), n));
  } catch (...) {
    t.receiver_failure = std::current_exception();
    return 0;
  }
  return n;
}

std::size_t on_body(char* data, std::size_t, std::size_t n, void* user) {
  auto& t = *static_cast<State*>(user);
  t.last_activity = Clock::now();
  if (!t.body_begun) {
    t.body_begun = true;
    long status = 0;
    if (t.receiver != nullptr &&
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
      try {
        t.receiving = t.receiver->accept(static_cast<int>(status), t.response_headers);
      } catch (...) {
        t.receiver_failure = std::current_exception();
        return 0;
      }
    }
  }
  if (t.receiving) return to_receiver(t, data, n);
  if (n > t.max_body - t.body.size()) {
    t.body_too_large = true;
    return 0;  // aborts the transfer
  }
  if (t.body.capacity() - t.body.size() < n + kBodyPadding) reserve_for(t, n);
  const std::size_t at = t.body.size();
  t.body.resize(at + n);
  std::memcpy(t.body.data() + at, data, n);
  return n;
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::size_t on_header(char* data, std::size_t, std::size_t n, void* user) {
  auto& t = *static_cast<State*>(user);
  t.last_activity = Clock::now();
  t.header_bytes += n;
  if (t.header_bytes > kMaxHeaderBytes) {
    t.headers_too_large = true;
    return 0;
  }
  const std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect or a 1xx): only the last one's headers count.
    t.response_headers.clear();
    if (!t.answer_started) t.answered_at = t.last_activity;
    t.answer_started = true;
    if (!t.sent_at) t.sent_at = t.last_activity;
    tell_progress(t, t.last_activity);
  } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
    t.response_headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                    std::string(trimmed(line.substr(colon + 1))));
  }
  return n;
}

// Keeps the time of the last byte moved either way, which the read time-out counts from, and
// notes when the request is out whole. (The time-outs themselves are timers of the loop.)
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): libcurl's callback
int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t up_total, curl_off_t up) {
  auto& t = *static_cast<State*>(user);
  const auto now = Clock::now();
  if (!t.sent_at && up_total > 0 && up >= up_total) t.sent_at = now;
  if (down != t.seen_down || up != t.seen_up) {
    t.seen_down = down;
    t.seen_up = up;
    t.last_activity = now;
  }
  tell_progress(t, now);
  return 0;
}

// Called once the connection is established (or reused), just before the request goes out.
int on_connected(void* user, char* remote_address, char*, int, int local_port) {
  auto& t = *static_cast<State*>(user);
  if (t.public_only && !is_public_address(remote_address != nullptr ? remote_address : "")) {
    t.refused_address = remote_address != nullptr ? remote_address : "(unknown)";
    return CURL_PREREQFUNC_ABORT;
  }
  if (t.new_socket) {
    curl_off_t resolved = 0;
    curl_off_t handshake_done = 0;
    if (curl_easy_getinfo(t.easy, CURLINFO_NAMELOOKUP_TIME_T, &resolved) == CURLE_OK &&
        curl_easy_getinfo(t.easy, CURLINFO_CONNECT_TIME_T, &handshake_done) == CURLE_OK &&
        handshake_done > resolved) {
      t.opening.note_handshake(std::chrono::microseconds(handshake_done - resolved));
    }
  }
  t.opening.release();
  if (t.new_socket && t.closed != nullptr) {
    t.local_port = local_port;
    t.closed->opened(t.socket);
  } else {
    t.socket = CURL_SOCKET_BAD;
  }
  t.connected = true;
  t.last_activity = Clock::now();
  tell_progress(t, t.last_activity);
  return CURL_PREREQFUNC_OK;
}

// Called for each socket the transfer opens (never for a connection reused).
int on_socket(void* user, curl_socket_t socket, curlsocktype) {
  auto& t = *static_cast<State*>(user);
  t.new_socket = true;
  t.socket = socket;
  return CURL_SOCKOPT_OK;
}

std::size_t read_part(char* buffer, std::size_t size, std::size_t count, void* arg) {
  auto& r = *static_cast<PartReader*>(arg);
  const std::size_t n = std::min(size * count, r.content.size() - r.offset);
  std::memcpy(buffer, r.content.data() + r.offset, n);
  r.offset += n;
  return n;
}

int seek_part(void* arg, curl_off_t offset, int origin) {
  auto& r = *static_cast<PartReader*>(arg);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > r.content.size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  r.offset = static_cast<std::size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

std::size_t read_streamed(char* buffer, std::size_t size, std::size_t count, void* arg) {
  return static_cast<StreamedBodyReader*>(arg)->read(buffer, size * count);
}

int seek_streamed(void* arg, curl_off_t offset, int origin) {
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  return static_cast<StreamedBodyReader*>(arg)->seek(static_cast<std::size_t>(offset))
             ? CURL_SEEKFUNC_OK
             : CURL_SEEKFUNC_FAIL;
}

void check(CURLcode code) {
  if (code != CURLE_OK) throw ConnectionError(std::string("libcurl: ") + curl_easy_strerror(code));
}

template <class T>
void set(CURL* easy, CURLoption option, T value) {
  check(curl_easy_setopt(easy, option, value));
}

std::optional<double> seconds_info(CURL* easy, CURLINFO info) {
  curl_off_t micros = 0;
  if (curl_easy_getinfo(easy, info, &micros) != CURLE_OK || micros < 0) return std::nullopt;
  return static_cast<double>(micros) / 1e6;
}

std::optional<std::uint64_t> sum_info(CURL* easy, CURLINFO long_info, CURLINFO size_info) {
  long head = 0;
  curl_off_t body = 0;
  if (curl_easy_getinfo(easy, long_info, &head) != CURLE_OK ||
      curl_easy_getinfo(easy, size_info, &body) != CURLE_OK || head < 0 || body < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(head) + static_cast<std::uint64_t>(body);
}

// When the present attempt's handshake began (its name resolved), if it is under way.
std::optional<Clock::time_point> handshake_began(const State& t) {
  if (t.connected || !t.opening.held()) return std::nullopt;
  curl_off_t resolved = 0;
  curl_off_t handshake_done = 0;
  if (curl_easy_getinfo(t.easy, CURLINFO_NAMELOOKUP_TIME_T, &resolved) != CURLE_OK ||
      curl_easy_getinfo(t.easy, CURLINFO_CONNECT_TIME_T, &handshake_done) != CURLE_OK ||
      resolved <= 0 || handshake_done > 0) {
    return std::nullopt;
  }
  return t.attempt_started + std::chrono::microseconds(resolved);
}

// A reset before any answer on a connection whose peer acknowledged none of the request: the
// server never took the connection.
bool reset_unread(const State& t, CURLcode code) {
  if (t.answer_started || t.closed == nullptr || t.socket == CURL_SOCKET_BAD) return false;
  if (code != CURLE_RECV_ERROR && code != CURLE_SEND_ERROR) return false;
  return t.closed->acknowledged(t.socket, t.local_port) == false;
}

TransferFacts facts_of(const State& t, CURLcode code = CURLE_OK) {
  TransferFacts facts;
  facts.request_sent = (t.sent_at.has_value() || t.answer_started) && !reset_unread(t, code);
  if (t.connected) {
    const auto tls = seconds_info(t.easy, CURLINFO_APPCONNECT_TIME_T);
    facts.connect_s = tls && *tls > 0 ? tls : seconds_info(t.easy, CURLINFO_CONNECT_TIME_T);
  }
  // Our own clock for both: libcurl's start-transfer time is taken before the upload on posts.
  const auto since_start = [&t](Clock::time_point at) {
    return std::chrono::duration<double>(at - t.started).count();
  };
  if (t.sent_at) facts.sent_s = since_start(*t.sent_at);
  if (t.answered_at) facts.first_byte_s = since_start(*t.answered_at);
  facts.total_s = seconds_info(t.easy, CURLINFO_TOTAL_TIME_T);
  facts.bytes_sent = sum_info(t.easy, CURLINFO_REQUEST_SIZE, CURLINFO_SIZE_UPLOAD_T);
  facts.bytes_received = sum_info(t.easy, CURLINFO_HEADER_SIZE, CURLINFO_SIZE_DOWNLOAD_T);
  return facts;
}

// The failure as thrown, carrying what is known about the exchange.
template <class Failure>
[[noreturn]] void raise_with_facts(const State& t, const std::string& message,
                                   CURLcode code = CURLE_OK) {
  Failure failure(message);
  failure.set_transfer(facts_of(t, code));
  throw failure;
}

[[noreturn]] void throw_failure(const State& t, CURLcode code, const std::string& url) {
  const std::string where = authority_of(url);
  std::string detail = t.error_text[0] != '\0' ? t.error_text : curl_easy_strerror(code);
  if (t.cancelled) raise_with_facts<Cancelled>(t, "exchange with " + where + " cancelled");
  if (t.deadline_passed) {
    raise_with_facts<DeadlineExceeded>(t, "deadline passed during the exchange with " + where);
  }
  if (!t.refused_address.empty()) {
    raise_with_facts<AddressRefused>(t, "link to " + where + " leads to " + t.refused_address +
                                            ", which is not a public address");
  }
  if (t.read_timed_out) {
    raise_with_facts<ReadTimeout>(
        t, "no data from " + where + " for " + std::to_string(t.read_timeout.count()) + " ms");
  }
  if (t.body_too_large) {
    raise_with_facts<ResponseTooLarge>(
        t, "response from " + where + " exceeds " + std::to_string(t.max_body) + " bytes");
  }
  if (t.headers_too_large) {
    raise_with_facts<ResponseTooLarge>(t, "response headers from " + where + " exceed " +
                                              std::to_string(kMaxHeaderBytes) + " bytes");
  }
  switch (code) {
    case CURLE_FILESIZE_EXCEEDED:
      raise_with_facts<ResponseTooLarge>(
          t, "response from " + where + " exceeds " + std::to_string(t.max_body) + " bytes");
    case CURLE_OPERATION_TIMEDOUT:
      if (t.connected)
        raise_with_facts<ReadTimeout>(t, "reading from " + where + " timed out: " + detail);
      raise_with_facts<ConnectTimeout>(t, "connecting to " + where + " timed out: " + detail);
    case CURLE_UNSUPPORTED_PROTOCOL:
      raise_with_facts<UnsupportedScheme>(t, "refused scheme for " + where + ": " + detail);
    case CURLE_URL_MALFORMAT:
      raise_with_facts<InvalidURL>(t, "malformed link: " + detail);
    case CURLE_TOO_MANY_REDIRECTS:
      raise_with_facts<TooManyRedirects>(t, "too many redirects from " + where);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      raise_with_facts<TlsError>(t, "TLS with " + where + " failed: " + detail);
    default:
      raise_with_facts<ConnectionError>(t, "exchange with " + where + " failed: " + detail, code);
  }
}

SlistHandle header_list(const Headers& headers) {
  SlistHandle list;
  const auto append = [&list](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (head == nullptr) throw ConnectionError("out of memory building headers");
    if (!list) list.reset(head);
  };
  for (const auto& [name, value] : headers) append(name + ": " + value);
  // Send the body at once instead of waiting for "100 Continue".
  append("Expect:");
  return list;
}

Timeout effective(const Timeout& given, const Timeout& base) {
  return {given.connect.count() > 0 ? given.connect : base.connect,
          given.read.count() > 0 ? given.read : base.read};
}

}  // namespace

CurlTransfer::CurlTransfer(CURL* easy, const std::string& url, const Headers& headers,
                           const Timeout& timeout, CallLimits call_limits,
                           const CurlHttpClientOptions& options, bool link_fetch)
    : state_(std::make_unique<State>()) {
  check_http_url(url);
  check_headers(headers);
  State& t = *state_;
  t.easy = easy;
  t.url = url;
  t.max_body = options.max_response_bytes;
  t.public_only = link_fetch && options.link_addresses == LinkAddressPolicy::kPublicOnly;
  const Timeout limits = effective(timeout, options.base_timeout);
  t.read_timeout = limits.read;
  t.headers = header_list(headers);
  t.limits = std::move(call_limits);

  set(easy, CURLOPT_URL, url.c_str());
  set(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_NOSIGNAL, 1L);
  set(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  set(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  set(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.ca_file.empty()) set(easy, CURLOPT_CAINFO, options.ca_file.c_str());
  set(easy, CURLOPT_USERAGENT, options.user_agent.c_str());
  set(easy, CURLOPT_HTTPHEADER, t.headers.get());
  set(easy, CURLOPT_ERRORBUFFER, t.error_text);
  set(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  set(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.max_body));
  set(easy, CURLOPT_WRITEFUNCTION, &on_body);
  set(easy, CURLOPT_WRITEDATA, &t);
  set(easy, CURLOPT_HEADERFUNCTION, &on_header);
  set(easy, CURLOPT_HEADERDATA, &t);
  set(easy, CURLOPT_NOPROGRESS, 0L);
  set(easy, CURLOPT_XFERINFOFUNCTION, &on_progress);
  set(easy, CURLOPT_XFERINFODATA, &t);
  set(easy, CURLOPT_PREREQFUNCTION, &on_connected);
  set(easy, CURLOPT_PREREQDATA, &t);
  set(easy, CURLOPT_SOCKOPTFUNCTION, &on_socket);
  set(easy, CURLOPT_SOCKOPTDATA, &t);
  t.connect_timeout = limits.connect;
}

CurlTransfer::CurlTransfer(CURL* easy, const std::string& url, const PostRequest& request,
                           const CurlHttpClientOptions& options)
    : CurlTransfer(easy, url, request.headers, request.timeout, request.limits, options, false) {
  // An API post is never redirected: a 3xx is the service's answer.
  set(easy, CURLOPT_FOLLOWLOCATION, 0L);
  set(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  state_->receiver = request.receiver;
  state_->observer = request.on_progress;
  if (const auto* json = std::get_if<JsonBody>(&request.body)) {
    set_json_body(*json);
  } else if (const auto* streamed = std::get_if<StreamedBody>(&request.body)) {
    set_streamed_body(*streamed);
  } else {
    set_form_body(std::get<Form>(request.body));
  }
}

CurlTransfer::CurlTransfer(CURL* easy, const std::string& url, const GetRequest& request,
                           const CurlHttpClientOptions& options)
    : CurlTransfer(easy, url, request.headers, request.timeout, request.limits, options, true) {
  set(easy, CURLOPT_HTTPGET, 1L);
  set(easy, CURLOPT_FOLLOWLOCATION, request.max_redirects > 0 ? 1L : 0L);
  set(easy, CURLOPT_MAXREDIRS, static_cast<long>(std::max(request.max_redirects, 0)));
  // Never carry credentials anywhere, least of all across a redirect.
  set(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  set(easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  state_->receiver = request.receiver;
}

CurlTransfer::~CurlTransfer() = default;

void CurlTransfer::set_json_body(const JsonBody& body) {
  CURL* easy = state_->easy;
  set(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.bytes.size()));
  // An empty body still needs a valid pointer, or libcurl would read the body from stdin.
  set(easy, CURLOPT_POSTFIELDS,
      body.bytes.empty() ? "" : reinterpret_cast<const char*>(body.bytes.data()));
}

void CurlTransfer::set_streamed_body(const StreamedBody& body) {
  State& t = *state_;
  if (body.size() <= kOneWriteBodyBytes) {
    t.small_body = flatten(body);
    set(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.small_body.size()));
    set(t.easy, CURLOPT_POSTFIELDS,
        t.small_body.empty() ? "" : reinterpret_cast<const char*>(t.small_body.data()));
    return;
  }
  t.streamed.emplace(body);
  set(t.easy, CURLOPT_POST, 1L);
  set(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  set(t.easy, CURLOPT_READFUNCTION, &read_streamed);
  set(t.easy, CURLOPT_READDATA, &*t.streamed);
  // libcurl rewinds a body it must send again on a fresh connection.
  set(t.easy, CURLOPT_SEEKFUNCTION, &seek_streamed);
  set(t.easy, CURLOPT_SEEKDATA, &*t.streamed);
}

void CurlTransfer::set_form_body(const Form& form) {
  State& t = *state_;
  t.mime.reset(curl_mime_init(t.easy));
  if (!t.mime) throw ConnectionError("libcurl could not make a form");
  for (const FormField& field : form.fields) {
    curl_mimepart* part = curl_mime_addpart(t.mime.get());
    check(curl_mime_name(part, field.name.c_str()));
    check(curl_mime_data(part, field.value.data(), field.value.size()));
  }
  t.readers.reserve(form.files.size());  // callbacks hold pointers into it
  for (const FilePart& file : form.files) {
    PartReader& reader = t.readers.emplace_back(PartReader{file.content, 0});
    curl_mimepart* part = curl_mime_addpart(t.mime.get());
    check(curl_mime_name(part, file.name.c_str()));
    check(curl_mime_filename(part, file.filename.c_str()));
    check(curl_mime_type(part, file.content_type.c_str()));
    check(curl_mime_data_cb(part, static_cast<curl_off_t>(file.content.size()), &read_part,
                            &seek_part, nullptr, &reader));
  }
  set(t.easy, CURLOPT_MIMEPOST, t.mime.get());
}

std::optional<CurlTransfer::Clock::time_point> CurlTransfer::next_check() const {
  const State& t = *state_;
  std::optional<Clock::time_point> at = t.limits.deadline;
  if (t.opening.held() && !t.connected) {
    // Until the name is resolved, looked at again within the patience.
    const auto began = handshake_began(t).value_or(Clock::now());
    const auto give_up = began + t.opening.patience();
    if (!at || give_up < *at) at = give_up;
  }
  if (t.connected) {
    const auto silence_ends = t.last_activity + t.read_timeout;
    if (!at || silence_ends < *at) at = silence_ends;
  }
  return at;
}

bool CurlTransfer::should_abort(Clock::time_point now) {
  State& t = *state_;
  if (t.limits.stop_requested()) {
    t.cancelled = true;
  } else if (t.limits.past_deadline(now)) {
    t.deadline_passed = true;
  } else if (t.connected && now - t.last_activity >= t.read_timeout) {
    t.read_timed_out = true;
  }
  return t.cancelled || t.deadline_passed || t.read_timed_out;
}

bool CurlTransfer::enter(SharedConnections& shared, Clock::time_point until) {
  State& t = *state_;
  if (!shared.gate.enter(t.url, t.opening, until)) return false;
  if (t.closed == nullptr) {
    t.closed = &shared.closed;
    set(t.easy, CURLOPT_CLOSESOCKETFUNCTION, &ClosedSockets::close_socket);
    set(t.easy, CURLOPT_CLOSESOCKETDATA, t.closed);
  }
  t.attempt_started = t.connect_started = Clock::now();
  return true;
}

bool CurlTransfer::should_begin_anew(Clock::time_point now) {
  State& t = *state_;
  const auto began = handshake_began(t);
  if (!began || now - *began < t.opening.patience()) return false;
  // The connect time-out bounds all attempts together; the last one runs into it.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      t.connect_timeout - (now - t.connect_started));
  if (left <= t.opening.patience()) return false;
  set(t.easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left.count()));
  t.attempt_started = now;
  t.new_socket = false;
  return true;
}

void CurlTransfer::wake_on_stop(std::function<void()> wake) {
  State& t = *state_;
  if (t.limits.stop.stop_possible()) t.stop_watch.emplace(t.limits.stop, std::move(wake));
}

HttpResponse CurlTransfer::finish(CURLcode code) {
  State& t = *state_;
  if (t.receiver_failure) {
    try {
      std::rethrow_exception(t.receiver_failure);
    } catch (Error& failure) {
      failure.set_transfer(facts_of(t, code));
      throw;
    }
  }
  if (code != CURLE_OK) throw_failure(t, code, t.url);
  long status = 0;
  check(curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status));
  HttpResponse response;
  response.status_code = static_cast<int>(status);
  response.headers = std::move(t.response_headers);
  response.transfer = facts_of(t);
  if (t.body.capacity() - t.body.size() < kBodyPadding) {
    t.body.reserve(t.body.size() + kBodyPadding);
  }
  response.body = std::move(t.body);
  return response;
}

int wait_ms(CURLM* multi, std::optional<CurlTransfer::Clock::time_point> next_check) {
  // An idle loop still looks round now and then; nothing depends on it.
  constexpr long kIdleWaitMs = 1000;
  long curl_ms = -1;
  if (curl_multi_timeout(multi, &curl_ms) != CURLM_OK || curl_ms < 0) curl_ms = kIdleWaitMs;
  long wait = std::min(curl_ms, kIdleWaitMs);
  if (next_check) {
    const auto until = std::chrono::ceil<std::chrono::milliseconds>(*next_check - Clock::now());
    wait = std::clamp(static_cast<long>(until.count()), 0L, wait);
  }
  return static_cast<int>(wait);
}

CURLcode run_alone(CURLM* multi, CURL* easy, CurlTransfer& transfer, SharedConnections& shared) {
  // Stop requests are noticed at this pace while waiting for a place to connect.
  constexpr auto kGateCheck = std::chrono::milliseconds(20);
  for (;;) {
    auto until = Clock::now() + kGateCheck;
    if (const auto check_at = transfer.next_check()) until = std::min(until, *check_at);
    if (transfer.enter(shared, until)) break;
    if (transfer.should_abort(Clock::now())) return CURLE_ABORTED_BY_CALLBACK;
  }
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    throw ConnectionError("libcurl could not start a transfer");
  }
  transfer.wake_on_stop([multi] { curl_multi_wakeup(multi); });
  CURLcode code = CURLE_OK;
  for (bool done = false; !done;) {
    if (transfer.should_abort(Clock::now())) {
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (transfer.should_begin_anew(Clock::now())) {
      curl_multi_remove_handle(multi, easy);
      if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        throw ConnectionError("libcurl could not start a transfer");
      }
    }
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        code = message->data.result;
        done = true;
      }
    }
    if (done) break;
    curl_multi_poll(multi, nullptr, 0, wait_ms(multi, transfer.next_check()), nullptr);
  }
  curl_multi_remove_handle(multi, easy);
  return code;
}

}  // namespace zantrel::host::internal
