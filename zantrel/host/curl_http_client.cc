#include "zantrel/host/curl_http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "zantrel/host/errors.h"

namespace zantrel::host {
namespace {

using Clock = std::chrono::steady_clock;
using EasyPtr = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using SlistPtr = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;
using MimePtr = std::unique_ptr<curl_mime, decltype(&curl_mime_free)>;

// Bodies of tens of megabytes go out in fewer, larger writes than libcurl's 64 KiB default.
constexpr long kUploadBufferBytes = 512L * 1024;
// Spare bytes kept behind a response body so that JSON parsers can read it in place.
constexpr std::size_t kBodyPadding = 64;
// Response headers beyond this are a hostile or broken service. Below libcurl's own limit
// (300 KB), so that endless headers end as ResponseTooLarge rather than a receive error.
constexpr std::size_t kMaxHeaderBytes = std::size_t{256} << 10;
// Idle handles kept for reuse (each keeps its connections open).
constexpr std::size_t kMaxIdleHandles = 64;

void ensure_curl_initialised() {
  static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (status != CURLE_OK) throw ConnectionError("libcurl failed to initialise");
}

// State of one transfer, shared with the libcurl callbacks.
struct Transfer {
  CURL* easy = nullptr;
  Bytes body;
  std::size_t max_body = 0;
  bool body_too_large = false;
  std::size_t header_bytes = 0;
  bool headers_too_large = false;
  std::chrono::milliseconds read_timeout{0};
  Clock::time_point last_activity = Clock::now();
  bool connected = false;
  bool public_only = false;
  std::string refused_address;
  bool read_timed_out = false;
  curl_off_t seen_down = 0;
  curl_off_t seen_up = 0;
  char error_text[CURL_ERROR_SIZE] = {};
};

void reserve_for(Transfer& t, std::size_t incoming) {
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

std::size_t on_body(char* data, std::size_t, std::size_t n, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  t.last_activity = Clock::now();
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

std::size_t on_header(char*, std::size_t, std::size_t n, void* user) {
  auto& t = *static_cast<Transfer*>(user);
  t.last_activity = Clock::now();
  t.header_bytes += n;
  if (t.header_bytes > kMaxHeaderBytes) {
    t.headers_too_large = true;
    return 0;
  }
  return n;
}

// Read time-out: no byte sent or received for `read_timeout` once connected. libcurl calls this
// often while data flows and about once a second when idle.
int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& t = *static_cast<Transfer*>(user);
  const auto now = Clock::now();
  if (down != t.seen_down || up != t.seen_up) {
    t.seen_down = down;
    t.seen_up = up;
    t.last_activity = now;
    return 0;
  }
  if (t.connected && now - t.last_activity >= t.read_timeout) {
    t.read_timed_out = true;
    return 1;
  }
  return 0;
}

// Called once the connection is established (or reused), just before the request goes out.
int on_connected(void* user, char* remote_address, char*, int, int) {
  auto& t = *static_cast<Transfer*>(user);
  if (t.public_only && !is_public_address(remote_address != nullptr ? remote_address : "")) {
    t.refused_address = remote_address != nullptr ? remote_address : "(unknown)";
    return CURL_PREREQFUNC_ABORT;
  }
  t.connected = true;
  t.last_activity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Streams a borrowed file part to libcurl without copying it first.
struct PartReader {
  ByteView content;
  std::size_t offset = 0;
};

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

std::string host_of(const std::string& url) {
  const auto start = url.find("://");
  if (start == std::string::npos) return url;
  const auto end = url.find_first_of("/?#", start + 3);
  std::string authority = url.substr(start + 3, end == std::string::npos ? end : end - start - 3);
  // Never repeat credentials written into a link.
  if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  return authority;
}

void check(CURLcode code) {
  if (code != CURLE_OK) throw ConnectionError(std::string("libcurl: ") + curl_easy_strerror(code));
}

template <class T>
void set(CURL* easy, CURLoption option, T value) {
  check(curl_easy_setopt(easy, option, value));
}

[[noreturn]] void throw_failure(const Transfer& t, CURLcode code, const std::string& url) {
  const std::string where = host_of(url);
  std::string detail = t.error_text[0] != '\0' ? t.error_text : curl_easy_strerror(code);
  if (!t.refused_address.empty()) {
    throw AddressRefused("link to " + where + " leads to " + t.refused_address +
                         ", which is not a public address");
  }
  if (t.read_timed_out) {
    throw ReadTimeout("no data from " + where + " for " + std::to_string(t.read_timeout.count()) +
                      " ms");
  }
  if (t.body_too_large) {
    throw ResponseTooLarge("response from " + where + " exceeds " + std::to_string(t.max_body) +
                           " bytes");
  }
  if (t.headers_too_large) {
    throw ResponseTooLarge("response headers from " + where + " exceed " +
                           std::to_string(kMaxHeaderBytes) + " bytes");
  }
  switch (code) {
    case CURLE_FILESIZE_EXCEEDED:
      throw ResponseTooLarge("response from " + where + " exceeds " + std::to_string(t.max_body) +
                             " bytes");
    case CURLE_OPERATION_TIMEDOUT:
      if (t.connected) throw ReadTimeout("reading from " + where + " timed out: " + detail);
      throw ConnectTimeout("connecting to " + where + " timed out: " + detail);
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw UnsupportedScheme("refused scheme for " + where + ": " + detail);
    case CURLE_URL_MALFORMAT:
      throw InvalidURL("malformed link: " + detail);
    case CURLE_TOO_MANY_REDIRECTS:
      throw TooManyRedirects("too many redirects from " + where);
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      throw TlsError("TLS with " + where + " failed: " + detail);
    default:
      throw ConnectionError("exchange with " + where + " failed: " + detail);
  }
}

SlistPtr header_list(const Headers& headers) {
  SlistPtr list(nullptr, &curl_slist_free_all);
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

}  // namespace

void check_http_url(const std::string& url) {
  std::string head = url.substr(0, 8);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!head.starts_with("http://") && !head.starts_with("https://")) {
    throw UnsupportedScheme("only http and https links are fetched");
  }
  if (url.find_first_of(std::string_view("\r\n\0 ", 4)) != std::string::npos) {
    throw InvalidURL("link holds a blank or a control character");
  }
}

class CurlHttpClient::Pool {
 public:
  EasyPtr acquire() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        EasyPtr easy = std::move(idle_.back());
        idle_.pop_back();
        return easy;
      }
    }
    EasyPtr easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy) throw ConnectionError("libcurl could not make a handle");
    return easy;
  }

  void release(EasyPtr easy) {
    // Options go; the handle's open connections stay for the next request.
    curl_easy_reset(easy.get());
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(easy));
  }

 private:
  std::mutex mutex_;
  std::vector<EasyPtr> idle_;
};

namespace {

// Borrows a handle from the pool for one transfer and gives it back afterwards.
template <class Pool>
class Lease {
 public:
  explicit Lease(Pool& pool) : pool_(pool), easy_(pool.acquire()) {}
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() { pool_.release(std::move(easy_)); }
  CURL* get() const { return easy_.get(); }

 private:
  Pool& pool_;
  EasyPtr easy_;
};

void common_setup(CURL* easy, const std::string& url, Transfer& t, const Timeout& timeout,
                  const CurlHttpClientOptions& options, curl_slist* headers) {
  set(easy, CURLOPT_URL, url.c_str());
  set(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(easy, CURLOPT_NOSIGNAL, 1L);
  set(easy, CURLOPT_TCP_KEEPALIVE, 1L);
  set(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  set(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.ca_file.empty()) set(easy, CURLOPT_CAINFO, options.ca_file.c_str());
  set(easy, CURLOPT_USERAGENT, options.user_agent.c_str());
  set(easy, CURLOPT_HTTPHEADER, headers);
  set(easy, CURLOPT_ERRORBUFFER, t.error_text);
  set(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.connect.count()));
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
}

Timeout effective(const Timeout& given, const Timeout& base) {
  return {given.connect.count() > 0 ? given.connect : base.connect,
          given.read.count() > 0 ? given.read : base.read};
}

HttpResponse perform(Transfer& t, const std::string& url) {
  const CURLcode code = curl_easy_perform(t.easy);
  if (code != CURLE_OK) throw_failure(t, code, url);
  long status = 0;
  check(curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status));
  HttpResponse response;
  response.status_code = static_cast<int>(status);
  if (t.body.capacity() - t.body.size() < kBodyPadding)
    t.body.reserve(t.body.size() + kBodyPadding);
  response.body = std::move(t.body);
  return response;
}

}  // namespace

CurlHttpClient::CurlHttpClient(CurlHttpClientOptions options)
    : options_(std::move(options)), pool_(std::make_unique<Pool>()) {
  ensure_curl_initialised();
}

CurlHttpClient::~CurlHttpClient() = default;

HttpResponse CurlHttpClient::post(const std::string& url, const PostRequest& request) {
  check_http_url(url);
  check_headers(request.headers);
  Lease lease(*pool_);
  Transfer t;
  t.easy = lease.get();
  t.max_body = options_.max_response_bytes;
  const Timeout timeout = effective(request.timeout, options_.base_timeout);
  t.read_timeout = timeout.read;
  SlistPtr headers = header_list(request.headers);
  MimePtr mime(nullptr, &curl_mime_free);
  std::vector<PartReader> readers;

  common_setup(t.easy, url, t, timeout, options_, headers.get());
  set(t.easy, CURLOPT_FOLLOWLOCATION, 0L);
  set(t.easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  if (const auto* json = std::get_if<JsonBody>(&request.body)) {
    set(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json->bytes.size()));
    // An empty body still needs a valid pointer, or libcurl would read the body from stdin.
    set(t.easy, CURLOPT_POSTFIELDS,
        json->bytes.empty() ? "" : reinterpret_cast<const char*>(json->bytes.data()));
  } else {
    const Form& form = std::get<Form>(request.body);
    mime.reset(curl_mime_init(t.easy));
    if (!mime) throw ConnectionError("libcurl could not make a form");
    for (const FormField& field : form.fields) {
      curl_mimepart* part = curl_mime_addpart(mime.get());
      check(curl_mime_name(part, field.name.c_str()));
      check(curl_mime_data(part, field.value.data(), field.value.size()));
    }
    readers.reserve(form.files.size());  // callbacks hold pointers into it
    for (const FilePart& file : form.files) {
      PartReader& reader = readers.emplace_back(PartReader{file.content, 0});
      curl_mimepart* part = curl_mime_addpart(mime.get());
      check(curl_mime_name(part, file.name.c_str()));
      check(curl_mime_filename(part, file.filename.c_str()));
      check(curl_mime_type(part, file.content_type.c_str()));
      check(curl_mime_data_cb(part, static_cast<curl_off_t>(file.content.size()), &read_part,
                              &seek_part, nullptr, &reader));
    }
    set(t.easy, CURLOPT_MIMEPOST, mime.get());
  }
  return perform(t, url);
}

HttpResponse CurlHttpClient::get(const std::string& url, const GetRequest& request) {
  check_http_url(url);
  check_headers(request.headers);
  Lease lease(*pool_);
  Transfer t;
  t.easy = lease.get();
  t.max_body = options_.max_response_bytes;
  t.public_only = options_.link_addresses == LinkAddressPolicy::kPublicOnly;
  const Timeout timeout = effective(request.timeout, options_.base_timeout);
  t.read_timeout = timeout.read;
  SlistPtr headers = header_list(request.headers);
  common_setup(t.easy, url, t, timeout, options_, headers.get());
  set(t.easy, CURLOPT_HTTPGET, 1L);
  set(t.easy, CURLOPT_FOLLOWLOCATION, request.max_redirects > 0 ? 1L : 0L);
  set(t.easy, CURLOPT_MAXREDIRS, static_cast<long>(std::max(request.max_redirects, 0)));
  // Never carry credentials anywhere, least of all across a redirect.
  set(t.easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  set(t.easy, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  return perform(t, url);
}

}  // namespace zantrel::host
