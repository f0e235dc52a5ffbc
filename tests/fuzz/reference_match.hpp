#pragma once

// A deliberately plain matcher for parsed cron fields: one date or one time of
// day at a time, straight from the field bits, sharing no code with the
// search. The fuzz target holds the search's answers against it.

#include <chrono>
#include <cstdint>
#include <optional>

#include "cron/pattern.hpp"

namespace tyvo::cron::reference {

struct TimeOfDay {
  unsigned hour = 0;
  unsigned minute = 0;
  unsigned second = 0;

  friend bool operator==(const TimeOfDay&, const TimeOfDay&) = default;
};

inline bool has_bit(std::uint64_t mask, unsigned position) {
  return position < 64 && ((mask >> position) & 1) != 0;
}

inline unsigned weekday_of(std::chrono::year_month_day date) {
  return std::chrono::weekday{std::chrono::sys_days{date}}.c_encoding();
}

inline unsigned month_length(std::chrono::year_month month) {
  return static_cast<unsigned>((month / std::chrono::last).day());
}

// `nW`: the Monday-to-Friday day nearest to n, never leaving the month; a month
// without day n has no such day.
inline bool is_nearest_weekday(const Fields& fields, std::chrono::year_month month, unsigned day) {
  const unsigned length = month_length(month);
  for (unsigned n = 1; n <= 31; ++n) {
    if (!has_bit(fields.nearest_weekdays, n) || n > length) continue;
    const unsigned weekday = weekday_of(month / std::chrono::day{n});
    unsigned target = n;
    if (weekday == 6) target = n == 1 ? 3 : n - 1;
    if (weekday == 0) target = n == length ? n - 2 : n + 1;
    if (target == day) return true;
  }
  return false;
}

inline bool day_of_month_matches(const Fields& fields, std::chrono::year_month_day date) {
  const unsigned day = static_cast<unsigned>(date.day());
  const std::chrono::year_month month{date.year(), date.month()};
  return has_bit(fields.days_of_month, day) || (fields.last_day_of_month && day == month_length(month)) ||
         is_nearest_weekday(fields, month, day);
}

inline bool day_of_week_matches(const Fields& fields, std::chrono::year_month_day date) {
  const unsigned day = static_cast<unsigned>(date.day());
  const unsigned weekday = weekday_of(date);
  const unsigned nth = (day - 1) / 7 + 1;
  const bool last_of_its_kind = day + 7 > month_length({date.year(), date.month()});
  return has_bit(fields.weekdays, weekday) || has_bit(fields.nth_weekdays[weekday], nth) ||
         (has_bit(fields.last_weekdays, weekday) && last_of_its_kind);
}

inline bool date_matches(const Fields& fields, std::chrono::year_month_day date) {
  if (!fields.years.contains(static_cast<int>(date.year()))) return false;
  if (!has_bit(fields.months, static_cast<unsigned>(date.month()))) return false;
  if (fields.day_of_month_unrestricted && fields.day_of_week_unrestricted) return true;
  if (fields.day_of_month_unrestricted) return day_of_week_matches(fields, date);
  if (fields.day_of_week_unrestricted) return day_of_month_matches(fields, date);
  const bool by_day = day_of_month_matches(fields, date);
  const bool by_weekday = day_of_week_matches(fields, date);
  return fields.days_need_both ? by_day && by_weekday : by_day || by_weekday;
}

// The earliest allowed time of day at or after `from`, walking the clock in
// order and skipping only whole hours and minutes that are not allowed.
inline std::optional<TimeOfDay> first_time_from(const Fields& fields, TimeOfDay from) {
  for (unsigned hour = from.hour; hour < 24; ++hour) {
    if (!has_bit(fields.hours, hour)) continue;
    for (unsigned minute = hour == from.hour ? from.minute : 0; minute < 60; ++minute) {
      if (!has_bit(fields.minutes, minute)) continue;
      const bool same_minute = hour == from.hour && minute == from.minute;
      for (unsigned second = same_minute ? from.second : 0; second < 60; ++second) {
        if (has_bit(fields.seconds, second)) return TimeOfDay{hour, minute, second};
      }
    }
  }
  return std::nullopt;
}

}  // namespace tyvo::cron::reference
