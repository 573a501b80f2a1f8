#include "zantrel/host/call/report_builder.h"

#include <charconv>
#include <ctime>
#include <string>

#include "zantrel/host/config.h"
#include "zantrel/host/images/image_header.h"
#include "zantrel/host/images/image_mime.h"
#include "zantrel/host/models/cost_estimate.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::host::internal {
namespace {

using json = nlohmann::ordered_json;

std::optional<double> number_of(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !(value >= 0)) return {};
  return value;
}

// An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT").
std::optional<std::chrono::system_clock::time_point> http_date(std::string_view text) {
  std::tm parts{};
  const std::string copy(text);
  const char* end = ::strptime(copy.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (end == nullptr || *end != '\0') return {};
  return std::chrono::system_clock::from_time_t(::timegm(&parts));
}

}  // namespace

Usage usage_of(json raw, const char* input, const char* output, const char* total) {
  const auto count = [&raw](const char* key) -> std::optional<std::int64_t> {
    const auto found = raw.is_object() ? raw.find(key) : raw.end();
    if (found == raw.end() || !found->is_number_integer()) return std::nullopt;
    return found->get<std::int64_t>();
  };
  Usage usage;
  usage.input_tokens = count(input);
  usage.output_tokens = count(output);
  usage.total_tokens = count(total);
  usage.raw = std::move(raw);
  return usage;
}

std::optional<double> duration_seconds(std::string_view text) {
  if (!text.ends_with('s')) return {};
  return number_of(text.substr(0, text.size() - 1));
}

std::optional<double> retry_after_seconds(const HttpResponse& response,
                                          std::chrono::system_clock::time_point now) {
  if (auto ms = response.header("retry-after-ms")) {
    if (auto value = number_of(*ms)) return *value / 1000.0;
  }
  if (auto after = response.header("retry-after")) {
    if (auto value = number_of(*after)) return *value;
    if (auto when = http_date(*after)) {
      return std::max(0.0, std::chrono::duration<double>(*when - now).count());
    }
  }
  return {};
}

ReportBuilder::ReportBuilder(CallReport* report) : report_(report) {}

ReportBuilder::~ReportBuilder() { finish(); }

void ReportBuilder::sending() {
  if (!report_) return;
  sending_ = true;
  exchange_start_ = Clock::now();
  report_->attempts = ++attempts_;
  if (answered_) {
    // A new attempt: what the last answer said no longer describes the call.
    answered_ = false;
    report_->http_status.reset();
    report_->service_error = nullptr;
    report_->retry_after_s.reset();
    report_->request_id.reset();
  }
}

void ReportBuilder::finish() {
  if (report_ && !finished_) {
    report_->timings.total = std::chrono::duration<double>(Clock::now() - start_).count();
    if (report_->model_sent && !report_->usage.raw.is_null()) {
      report_->cost =
          estimate_cost(*config::model_catalogue(), *report_->model_sent, report_->usage);
    }
  }
  finished_ = true;
}

void ReportBuilder::take_facts(const TransferFacts& facts) {
  const double offset = std::chrono::duration<double>(exchange_start_ - start_).count();
  const auto shifted = [offset](const std::optional<double>& at) -> std::optional<double> {
    if (!at) return std::nullopt;
    return offset + *at;
  };
  report_->timings.connect = shifted(facts.connect_s);
  report_->timings.sent = shifted(facts.sent_s);
  report_->timings.first_byte = shifted(facts.first_byte_s);
  report_->bytes_sent = facts.bytes_sent;
  report_->bytes_received = facts.bytes_received;
}

void ReportBuilder::answered(const HttpResponse& response) {
  if (!report_) return;
  answered_ = true;
  report_->delivery = Delivery::kAnswered;
  report_->http_status = response.status_code;
  if (auto id = response.header("x-request-id")) report_->request_id = std::string(*id);
  report_->retry_after_s = retry_after_seconds(response, std::chrono::system_clock::now());
  take_facts(response.transfer);
}

void ReportBuilder::polled(const HttpResponse& response) {
  if (!report_) return;
  answered_ = true;
  report_->delivery = Delivery::kAnswered;
  report_->http_status = response.status_code;
  report_->retry_after_s = retry_after_seconds(response, std::chrono::system_clock::now());
}

void ReportBuilder::service_error(const json& error_dict,
                                  std::initializer_list<const char*> members) {
  if (!report_ || !error_dict.is_object()) return;
  const auto error = error_dict.find("error");
  if (error == error_dict.end() || !error->is_object()) return;
  json details = json::object();
  for (const char* name : members) {
    if (auto found = error->find(name); found != error->end()) details[name] = *found;
  }
  if (!details.empty()) report_->service_error = std::move(details);
  if (!report_->retry_after_s) report_->retry_after_s = retry_info_seconds(error_dict);
}

std::optional<double> retry_info_seconds(const json& error_dict) {
  const auto error = error_dict.is_object() ? error_dict.find("error") : error_dict.end();
  if (error == error_dict.end() || !error->is_object()) return {};
  const auto listed = error->find("details");
  if (listed == error->end() || !listed->is_array()) return {};
  std::optional<double> seconds;
  for (const json& entry : *listed) {
    if (!entry.is_object() ||
        entry.value("@type", "") != "type.googleapis.com/google.rpc.RetryInfo")
      continue;
    const auto delay = entry.find("retryDelay");
    if (delay != entry.end() && delay->is_string()) {
      seconds = duration_seconds(delay->get<std::string>());
    }
  }
  return seconds;
}

const TransferFacts* transfer_facts_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Error& e) {
    return e.transfer();
  } catch (...) {
    return nullptr;
  }
}

Delivery failed_delivery(const std::exception_ptr& failure) {
  const TransferFacts* facts = transfer_facts_of(failure);
  if (facts && facts->request_sent) {
    return *facts->request_sent ? Delivery::kNoAnswer : Delivery::kNotSent;
  }
  // The HTTP stack said nothing: "not sent" only where no request can have left. (A stop or
  // deadline met during a transfer carries the transfer's facts; without them it was met before
  // sending.)
  return raised_before_sending(failure_kind(failure)) ? Delivery::kNotSent : Delivery::kNoAnswer;
}

void ReportBuilder::failed(const std::exception_ptr& failure) {
  if (!report_) return;
  report_->failure_kind = except_name(failure);
  if (answered_) return;
  if (const TransferFacts* facts = transfer_facts_of(failure)) take_facts(*facts);
  report_->delivery = sending_ ? failed_delivery(failure) : Delivery::kNotSent;
}

void ReportBuilder::image(ByteView image, std::string_view asked) {
  if (!report_) return;
  ImageReport facts;
  facts.mime = std::string(sniff_image_mime(image).value_or(""));
  facts.bytes = image.size();
  if (auto size = read_image_dimensions(image)) {
    facts.width = size->width;
    facts.height = size->height;
    facts.matches_request = ratio_matches(*size, asked);
  }
  if (!report_->image) report_->image = facts;
  report_->images.push_back(std::move(facts));
}

void ReportBuilder::stream_event() {
  if (report_ != nullptr) ++report_->stream_events;
}

void ReportBuilder::preview() {
  if (report_ == nullptr) return;
  if (++report_->previews == 1) {
    report_->first_preview_s = std::chrono::duration<double>(Clock::now() - start_).count();
  }
}

}  // namespace zantrel::host::internal
