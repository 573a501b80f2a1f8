#pragma once

#include <chrono>
#include <exception>
#include <initializer_list>
#include <string_view>

#include <nlohmann/json.hpp>

#include "zantrel/host/base/bytes.h"
#include "zantrel/host/http/http_client.h"
#include "zantrel/host/result/call_report.h"

namespace zantrel::host::internal {

// Fills a call's report along its steps, for both clients; every method does nothing when the
// caller asked for no report. The total time is taken by `finish` (or when the builder goes).
class ReportBuilder {
 public:
  explicit ReportBuilder(CallReport* report);
  ~ReportBuilder();
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;

  bool wanted() const noexcept { return report_ != nullptr; }
  CallReport* report() noexcept { return report_; }

  // The request is about to be handed to the HTTP client (again, for a retry).
  void sending();
  // The call is over: takes its total time. Before the result is handed over, so that the
  // report is complete when the caller sees the result.
  void finish();
  // The exchange came back with a status: its headers (request id, retry hints) and facts.
  void answered(const HttpResponse& response);
  // A job's last poll came back: its status and hints, not its transfer facts (the call's
  // timings and bytes stay those of its submit, when it made one).
  void polled(const HttpResponse& response);
  // The service's error details: the named members of "error" in a decoded error body, and a
  // google.rpc.RetryInfo delay among its "details" when no header gave a hint.
  void service_error(const nlohmann::ordered_json& error_dict,
                     std::initializer_list<const char*> members);
  // A failure ended the call (and became its result).
  void failed(const std::exception_ptr& failure);
  // An image returned (the first is the report's `image`), and the ratio asked ("W:H" or
  // "WxH"; empty when none).
  void image(ByteView image, std::string_view asked);
  // A streamed answer's event was read; one that was a preview.
  void stream_event();
  void preview();

 private:
  using Clock = std::chrono::steady_clock;
  void take_facts(const TransferFacts& facts);

  CallReport* report_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point exchange_start_{};
  bool sending_ = false;
  bool answered_ = false;
  bool finished_ = false;
  int attempts_ = 0;
};

// What the HTTP stack knew about a failed exchange (nullptr when it said nothing).
const TransferFacts* transfer_facts_of(const std::exception_ptr& failure);

// How far the request of a failed exchange got: from the stack's facts, else from the failure's
// kind (only failures that cannot happen after sending count as not sent).
Delivery failed_delivery(const std::exception_ptr& failure);

// The delay of a google.rpc.RetryInfo among the "details" of a decoded error body's "error".
std::optional<double> retry_info_seconds(const nlohmann::ordered_json& error_dict);

// Seconds to wait before trying again, from the headers of an answer: "retry-after-ms", else
// "Retry-After" as seconds or as an HTTP date (counted from `now`). Nothing when neither is
// usable.
std::optional<double> retry_after_seconds(const HttpResponse& response,
                                          std::chrono::system_clock::time_point now);

// A service's usage object as the report keeps it: the token counts under the service's own
// names (each empty when missing or not an integer) and the object itself.
Usage usage_of(nlohmann::ordered_json raw, const char* input, const char* output,
               const char* total);

// A protobuf duration text such as "17s" or "0.5s", in seconds.
std::optional<double> duration_seconds(std::string_view text);

}  // namespace zantrel::host::internal
