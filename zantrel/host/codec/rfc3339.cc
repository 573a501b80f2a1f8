#include "zantrel/host/codec/rfc3339.h"

#include <cstdio>

namespace zantrel::host {
namespace {

using namespace std::chrono;

bool digits(std::string_view text, std::size_t at, std::size_t n, int& value) {
  if (at + n > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::optional<system_clock::time_point> parse_rfc3339(std::string_view text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(text, 0, 4, year) || text.size() < 20 || text[4] != '-' ||
      !digits(text, 5, 2, month) || text[7] != '-' || !digits(text, 8, 2, day) ||
      (text[10] != 'T' && text[10] != 't') || !digits(text, 11, 2, hour) || text[13] != ':' ||
      !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  std::size_t at = 19;
  nanoseconds fraction{0};
  if (at < text.size() && text[at] == '.') {
    long long scale = 100'000'000;
    std::size_t end = at + 1;
    for (; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end) {
      fraction += nanoseconds((text[end] - '0') * scale);
      scale /= 10;
    }
    if (end == at + 1) return std::nullopt;
    at = end;
  }
  minutes offset{0};
  if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) {
    // UTC
  } else if (int oh = 0, om = 0; at + 6 == text.size() && (text[at] == '+' || text[at] == '-') &&
                                 digits(text, at + 1, 2, oh) && text[at + 3] == ':' &&
                                 digits(text, at + 4, 2, om)) {
    offset = (text[at] == '+' ? 1 : -1) * (hours(oh) + minutes(om));
  } else {
    return std::nullopt;
  }
  const auto time =
      sys_days(date) + hours(hour) + minutes(minute) + seconds(second) + fraction - offset;
  return time_point_cast<system_clock::duration>(time);
}

std::string format_rfc3339(system_clock::time_point time) {
  const auto whole = floor<seconds>(time);
  const auto day = floor<days>(whole);
  const year_month_day date(day);
  const hh_mm_ss clock(whole - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

}  // namespace zantrel::host
