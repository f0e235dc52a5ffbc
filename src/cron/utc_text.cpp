#include "cron/utc_text.hpp"

#include <cstdio>

namespace tyvo::cron {
namespace {

using namespace std::chrono;

std::optional<int> digits(std::string_view text) {
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<sys_seconds> parse_utc_text(std::string_view text) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const auto y = digits(text.substr(0, 4));
  const auto mo = digits(text.substr(5, 2));
  const auto d = digits(text.substr(8, 2));
  const auto h = digits(text.substr(11, 2));
  const auto mi = digits(text.substr(14, 2));
  const auto s = digits(text.substr(17, 2));
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  return sys_days{date} + hours{*h} + minutes{*mi} + seconds{*s};
}

std::string format_local_text(sys_seconds instant, std::int32_t offset) {
  std::string text = format_utc_text(instant + seconds{offset});
  text.pop_back();  // the Z
  const std::int32_t size = offset < 0 ? -offset : offset;
  char suffix[16];
  if (size % 60 == 0) {
    std::snprintf(suffix, sizeof suffix, "%c%02d:%02d", offset < 0 ? '-' : '+', size / 3600, size / 60 % 60);
  } else {
    std::snprintf(suffix, sizeof suffix, "%c%02d:%02d:%02d", offset < 0 ? '-' : '+', size / 3600, size / 60 % 60,
                  size % 60);
  }
  return text + suffix;
}

std::string format_utc_text(sys_seconds instant) {
  const sys_days date_part = floor<days>(instant);
  const year_month_day date{date_part};
  const hh_mm_ss<seconds> time{instant - date_part};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace tyvo::cron
