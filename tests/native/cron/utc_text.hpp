#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace tyvo::cron::testing {

// "YYYY-MM-DDTHH:MM:SSZ" to an instant; the tests write only valid ones.
inline std::chrono::sys_seconds utc(std::string_view text) {
  using namespace std::chrono;
  const auto field = [&](std::size_t at, std::size_t length) {
    return std::stoi(std::string{text.substr(at, length)});
  };
  const year_month_day date{year{field(0, 4)}, month{static_cast<unsigned>(field(5, 2))},
                            day{static_cast<unsigned>(field(8, 2))}};
  return sys_days{date} + hours{field(11, 2)} + minutes{field(14, 2)} + seconds{field(17, 2)};
}

inline std::string utc_text(std::chrono::sys_seconds instant) {
  using namespace std::chrono;
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

}  // namespace tyvo::cron::testing
