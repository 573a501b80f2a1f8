#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zantrel::host {

struct TransferFacts;

// What kind of failure a call met, for the rules that depend on it (what may be retried, how
// far the request got, what counts as a time-out). kOther: any failure not raised as one of
// this library's kinds (std::bad_alloc, a host's own exception, ...).
enum class FailureKind {
  kReadTimeout,
  kConnectTimeout,
  kConnectionError,
  kTlsError,
  kTooManyRedirects,
  kResponseTooLarge,
  kInvalidHeader,
  kInvalidURL,
  kUnsupportedScheme,
  kAddressRefused,
  kJSONDecodeError,
  kBase64Error,
  kResponseShapeError,
  kKeyError,
  kInvalidArgument,
  kFileReadError,
  kCancelled,
  kDeadlineExceeded,
  kOther,
};

// Failures that can only happen before any byte of the request left: trying again cannot run
// the work twice.
constexpr bool raised_before_sending(FailureKind kind) noexcept {
  switch (kind) {
    case FailureKind::kConnectTimeout:
    case FailureKind::kTlsError:
    case FailureKind::kInvalidHeader:
    case FailureKind::kInvalidURL:
    case FailureKind::kUnsupportedScheme:
    case FailureKind::kAddressRefused:
    case FailureKind::kCancelled:
    case FailureKind::kDeadlineExceeded:
      return true;
    default:
      return false;
  }
}

// Where a failure was raised. (std::source_location is not available with every supported
// compiler; these builtins are.)
struct SourceLocation {
  const char* file = "";
  unsigned line = 0;
  const char* function = "";

  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          const char* function = __builtin_FUNCTION()) noexcept {
    return {file, line, function};
  }
};

// Base of every failure this library raises. Each kind has a stable short name (`kind()`),
// which is what log messages and failure texts show, and remembers where it was thrown.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, SourceLocation where = SourceLocation::current())
      : std::runtime_error(message), where_(where) {}

  virtual std::string_view kind() const noexcept { return "Error"; }
  virtual FailureKind failure_kind() const noexcept { return FailureKind::kOther; }
  const SourceLocation& where() const noexcept { return where_; }

  // What the HTTP stack knew about the exchange that failed (nullptr when it said nothing).
  const TransferFacts* transfer() const noexcept { return transfer_.get(); }
  void set_transfer(const TransferFacts& facts);

 private:
  SourceLocation where_;
  std::shared_ptr<const TransferFacts> transfer_;
};

namespace internal {
template <std::size_t N>
struct KindName {
  constexpr KindName(const char (&text)[N]) { std::copy_n(text, N, value); }  // NOLINT
  constexpr std::string_view view() const { return {value, N - 1}; }
  char value[N]{};
};
}  // namespace internal

template <internal::KindName Name, FailureKind Kind>
class ErrorKind final : public Error {
 public:
  using Error::Error;
  std::string_view kind() const noexcept override { return Name.view(); }
  FailureKind failure_kind() const noexcept override { return Kind; }
};

// No byte arrived for the read time-out once connected. The only failure that counts as a
// time-out of the service.
using ReadTimeout = ErrorKind<"ReadTimeout", FailureKind::kReadTimeout>;
using ConnectTimeout = ErrorKind<"ConnectTimeout", FailureKind::kConnectTimeout>;
using ConnectionError = ErrorKind<"ConnectionError", FailureKind::kConnectionError>;
using TlsError = ErrorKind<"TlsError", FailureKind::kTlsError>;
using TooManyRedirects = ErrorKind<"TooManyRedirects", FailureKind::kTooManyRedirects>;
using ResponseTooLarge = ErrorKind<"ResponseTooLarge", FailureKind::kResponseTooLarge>;
using InvalidHeader = ErrorKind<"InvalidHeader", FailureKind::kInvalidHeader>;
using InvalidURL = ErrorKind<"InvalidURL", FailureKind::kInvalidURL>;
using UnsupportedScheme = ErrorKind<"UnsupportedScheme", FailureKind::kUnsupportedScheme>;
// A link led to an address the host's link policy refuses (a private network, say).
using AddressRefused = ErrorKind<"AddressRefused", FailureKind::kAddressRefused>;
using JSONDecodeError = ErrorKind<"JSONDecodeError", FailureKind::kJSONDecodeError>;
using Base64Error = ErrorKind<"Base64Error", FailureKind::kBase64Error>;
// A JSON value of the wrong type where a response's shape is relied on.
using ResponseShapeError = ErrorKind<"ResponseShapeError", FailureKind::kResponseShapeError>;
// A member that must be present is missing.
using KeyError = ErrorKind<"KeyError", FailureKind::kKeyError>;
using InvalidArgument = ErrorKind<"InvalidArgument", FailureKind::kInvalidArgument>;
using FileReadError = ErrorKind<"FileReadError", FailureKind::kFileReadError>;
// The caller asked the call to stop (its stop token).
using Cancelled = ErrorKind<"Cancelled", FailureKind::kCancelled>;
// The call's total deadline passed.
using DeadlineExceeded = ErrorKind<"DeadlineExceeded", FailureKind::kDeadlineExceeded>;

// A service answered a batch or file call with an error status: that status, and
// "HTTP 404: the service's message" as the text.
class ServiceRefused final : public Error {
 public:
  ServiceRefused(int status_code, const std::string& message,
                 SourceLocation where = SourceLocation::current())
      : Error(message, where), status_code_(status_code) {}
  std::string_view kind() const noexcept override { return "ServiceRefused"; }
  int status_code() const noexcept { return status_code_; }

 private:
  int status_code_;
};

// Short name of a failure's kind: `kind()` for our own failures, else the unqualified type name
// ("bad_alloc", "filesystem_error"), else "UnknownError" for a non-standard exception.
std::string except_name(const std::exception_ptr& failure);

// The kind of a failure: its FailureKind for our own failures, kOther for any other (and for
// no failure at all).
FailureKind failure_kind(const std::exception_ptr& failure) noexcept;

// "Kind: message", the way a failure is shown under "error" in a log record.
std::string describe_error(const std::exception_ptr& failure);

// Multi-line trace: each failure with its kind, message and (for ours) where it was thrown,
// followed by the failures nested inside it.
std::string traceback_text(const std::exception_ptr& failure);

}  // namespace zantrel::host
