#include <algorithm>
#include <array>
#include <bitset>

#include "cron/bit_mask.hpp"
#include "cron/wall_clock_search.hpp"

// General approach: instead of stepping through seconds, walk the fields from
// the largest down. Take the next allowed year; within it the next allowed
// month; within that the days the day rule accepts (computed for the whole
// month at once); on the first of those days the next allowed time of day.
// Whenever a level runs out, move to the next value one level up, with the
// levels below starting again from their smallest value.
//
// The search ends with the year 5000. It looks as far as it must: a pattern
// whose next occurrence is many years away ("0 0 29 2 *" seen from March 2097
// fires next in 2104) finds it, and TimeSearchLimitExceeded means that no
// occurrence exists at all up to the year 5000. The work stays small even
// then, because a month's matching days depend only on its length and the
// weekday it starts on (28 kinds of month), and a year's only on whether it
// is leap and the weekday of 1 January (14 kinds of year): once a kind of
// year has been searched in vain, every later year of that kind is skipped,
// and once every kind has, the search stops.

namespace tyvo::cron {
namespace {

using namespace std::chrono;

// The Gregorian calendar repeats every 400 years, weekdays included; a
// cheaper test than the kind of year for years already ruled out.
constexpr int calendar_cycle_years = 400;
constexpr int year_kinds = 14;

constexpr sys_seconds calendar_begin = sys_days{year::min() / January / 1};
constexpr sys_seconds calendar_end = sys_days{year::max() / December / 31} + days{1};
constexpr sys_seconds search_begin = sys_days{year{YearSet::first_year} / January / 1};
constexpr sys_seconds search_end = sys_days{year{YearSet::last_year + 1} / January / 1};

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The earliest allowed time of day at or after `from`, if the day has one.
std::optional<TimeOfDay> first_time_from(const Fields& fields, TimeOfDay from) noexcept {
  for (int hour = next_set_bit(fields.hours, from.hour); hour >= 0;
       hour = next_set_bit(fields.hours, hour + 1)) {
    const bool same_hour = hour == from.hour;
    for (int minute = next_set_bit(fields.minutes, same_hour ? from.minute : 0); minute >= 0;
         minute = next_set_bit(fields.minutes, minute + 1)) {
      const bool same_minute = same_hour && minute == from.minute;
      const int second = next_set_bit(fields.seconds, same_minute ? from.second : 0);
      if (second >= 0) return TimeOfDay{hour, minute, second};
    }
  }
  return std::nullopt;
}

// 0..13 from leap or not and the weekday of 1 January.
int kind_of_year(int y) noexcept {
  const year as_year{y};
  return (as_year.is_leap() ? 7 : 0) +
         static_cast<int>(weekday{sys_days{as_year / January / 1}}.c_encoding());
}

// The latest allowed time of day at or before `until`, if the day has one.
std::optional<TimeOfDay> last_time_until(const Fields& fields, TimeOfDay until) noexcept {
  for (int hour = previous_set_bit(fields.hours, until.hour); hour >= 0;
       hour = previous_set_bit(fields.hours, hour - 1)) {
    const bool same_hour = hour == until.hour;
    for (int minute = previous_set_bit(fields.minutes, same_hour ? until.minute : 59); minute >= 0;
         minute = previous_set_bit(fields.minutes, minute - 1)) {
      const bool same_minute = same_hour && minute == until.minute;
      const int second = previous_set_bit(fields.seconds, same_minute ? until.second : 59);
      if (second >= 0) return TimeOfDay{hour, minute, second};
    }
  }
  return std::nullopt;
}

// An instant's calendar date and time of day, as the searches walk them.
struct Moment {
  int year = 0;
  int month = 0;
  int day = 0;
  TimeOfDay time;
};

Moment moment_of(sys_seconds instant) noexcept {
  const sys_days date = floor<days>(instant);
  const year_month_day ymd{date};
  const hh_mm_ss<seconds> clock{instant - date};
  return {static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
          static_cast<int>(static_cast<unsigned>(ymd.day())),
          TimeOfDay{static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                    static_cast<int>(clock.seconds().count())}};
}

// Years searched in vain, by kind, so that later years of a kind already
// ruled out are skipped in either direction.
class BarrenYears {
 public:
  // Whether year `y`, searched as a whole, is known to have no matching day.
  bool known(int y) noexcept {
    const auto cycle_year = static_cast<std::size_t>(y % calendar_cycle_years);
    if (cycle_years_.test(cycle_year)) return true;
    if (!kinds_.test(static_cast<std::size_t>(kind_of_year(y)))) return false;
    cycle_years_.set(cycle_year);
    return true;
  }
  // Records that year `y`, searched as a whole, had no matching day; true
  // once every kind of year is ruled out.
  bool note(int y) noexcept {
    kinds_.set(static_cast<std::size_t>(kind_of_year(y)));
    cycle_years_.set(static_cast<std::size_t>(y % calendar_cycle_years));
    return kinds_.all();
  }

 private:
  std::bitset<calendar_cycle_years> cycle_years_;
  std::bitset<year_kinds> kinds_;
};

// Matching days per kind of month, each kind worked out once per search.
class MonthDays {
 public:
  explicit MonthDays(const Pattern& pattern) noexcept : pattern_(pattern) {}

  std::uint32_t of(year_month month) noexcept {
    const auto length = static_cast<unsigned>((month / last).day());
    const unsigned first_weekday = weekday{sys_days{month / 1}}.c_encoding();
    const unsigned kind = (length - 28) * 7 + first_weekday;
    if (((known_ >> kind) & 1) == 0) {
      days_[kind] = pattern_.matching_days(length, first_weekday);
      known_ |= std::uint32_t{1} << kind;
    }
    return days_[kind];
  }

 private:
  const Pattern& pattern_;
  std::uint32_t known_ = 0;
  std::array<std::uint32_t, 28> days_;
};

}  // namespace

Occurrence find_next_wall_clock(const Pattern& pattern, sys_seconds start) noexcept {
  if (start < calendar_begin || start >= calendar_end) return {.failure = Error::Kind::InvalidDate};
  if (start + seconds{1} >= search_end) return {.failure = Error::Kind::TimeSearchLimitExceeded};

  const Moment from = moment_of(std::max(start + seconds{1}, search_begin));
  const Fields& fields = pattern.fields();
  MonthDays month_days(pattern);
  BarrenYears barren;
  for (int y = fields.years.next(from.year); y >= 0; y = fields.years.next(y + 1)) {
    // Only years searched from 1 January on can rule out others.
    const bool whole_year = y != from.year;
    if (whole_year && barren.known(y)) continue;
    bool any_day = false;
    for (int m = next_set_bit(fields.months, whole_year ? 1 : from.month); m >= 0;
         m = next_set_bit(fields.months, m + 1)) {
      const year_month month{year{y}, std::chrono::month{static_cast<unsigned>(m)}};
      const std::uint32_t days = month_days.of(month);
      any_day = any_day || days != 0;
      const bool starting_month = !whole_year && m == from.month;
      for (int d = next_set_bit(days, starting_month ? from.day : 1); d >= 0; d = next_set_bit(days, d + 1)) {
        const bool starting_day = starting_month && d == from.day;
        const std::optional<TimeOfDay> time = first_time_from(fields, starting_day ? from.time : TimeOfDay{});
        if (!time) continue;
        const sys_days date{month / day{static_cast<unsigned>(d)}};
        return {.time = date + hours{time->hour} + minutes{time->minute} + seconds{time->second},
                .failure = {}};
      }
    }
    if (whole_year && !any_day && barren.note(y)) break;  // no kind of year is left to try
  }
  return {.failure = Error::Kind::TimeSearchLimitExceeded};
}

// The forward walk mirrored: latest year, month, day and time of day first.
Occurrence find_previous_wall_clock(const Pattern& pattern, sys_seconds end) noexcept {
  if (end < calendar_begin || end >= calendar_end) return {.failure = Error::Kind::InvalidDate};
  if (end <= search_begin) return {.failure = Error::Kind::TimeSearchLimitExceeded};

  const Moment to = moment_of(std::min(end, search_end) - seconds{1});
  const Fields& fields = pattern.fields();
  MonthDays month_days(pattern);
  BarrenYears barren;
  for (int y = fields.years.previous(to.year); y >= 0; y = fields.years.previous(y - 1)) {
    // Only years searched through 31 December can rule out others.
    const bool whole_year = y != to.year;
    if (whole_year && barren.known(y)) continue;
    bool any_day = false;
    for (int m = previous_set_bit(fields.months, whole_year ? 12 : to.month); m > 0;
         m = previous_set_bit(fields.months, m - 1)) {
      const year_month month{year{y}, std::chrono::month{static_cast<unsigned>(m)}};
      const std::uint32_t days = month_days.of(month);
      any_day = any_day || days != 0;
      const bool ending_month = !whole_year && m == to.month;
      for (int d = previous_set_bit(days, ending_month ? to.day : 31); d > 0; d = previous_set_bit(days, d - 1)) {
        const bool ending_day = ending_month && d == to.day;
        const std::optional<TimeOfDay> time = last_time_until(fields, ending_day ? to.time : TimeOfDay{23, 59, 59});
        if (!time) continue;
        const sys_days date{month / day{static_cast<unsigned>(d)}};
        return {.time = date + hours{time->hour} + minutes{time->minute} + seconds{time->second},
                .failure = {}};
      }
    }
    if (whole_year && !any_day && barren.note(y)) break;
  }
  return {.failure = Error::Kind::TimeSearchLimitExceeded};
}

}  // namespace tyvo::cron
