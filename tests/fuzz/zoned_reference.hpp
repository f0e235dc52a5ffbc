#pragma once

// The clock-change rules stated instant by instant, for the fuzz target: does
// a zoned pattern fire at instant t? Built on the zone's offsets and the plain
// matcher only, sharing nothing with the zoned search's period walk.

#include <chrono>
#include <cstdint>

#include "cron/pattern.hpp"
#include "reference_match.hpp"

namespace tyvo::cron::reference {

inline bool wall_clock_matches(const Fields& fields, std::int64_t wall) {
  using namespace std::chrono;
  const sys_seconds instant{seconds{wall}};
  const sys_days day = floor<days>(instant);
  const hh_mm_ss<seconds> clock{instant - day};
  const TimeOfDay time{static_cast<unsigned>(clock.hours().count()), static_cast<unsigned>(clock.minutes().count()),
                       static_cast<unsigned>(clock.seconds().count())};
  if (!date_matches(fields, year_month_day{day})) return false;
  const auto first = first_time_from(fields, time);
  return first && *first == time;
}

// Whether the zone's clock showed `wall` at some instant before `t`, looking
// at the offsets of the few periods before t's.
inline bool shown_earlier(const Zone& zone, std::int64_t t, std::int64_t wall) {
  const std::size_t i = zone.period_index(t);
  for (std::size_t back = 1; back <= 3 && back <= i; ++back) {
    const std::int32_t offset = zone.period_offset(i - back);
    const std::int64_t earlier = wall - offset;
    if (earlier < t && zone.offset_at(earlier) == offset) return true;
  }
  return false;
}

inline bool fires_at(const Pattern& pattern, const Zone& zone, std::int64_t t) {
  const Fields& fields = pattern.fields();
  const std::int32_t offset = zone.offset_at(t);
  if (wall_clock_matches(fields, t + offset)) {
    return fields.hour_unrestricted || !shown_earlier(zone, t, t + offset);
  }
  if (fields.hour_unrestricted || zone.offset_at(t - 1) >= offset) return false;
  // The first instant after clocks were set forward: fires if a skipped time matches.
  for (std::int64_t wall = t + zone.offset_at(t - 1); wall < t + offset; ++wall) {
    if (wall_clock_matches(fields, wall)) return true;
  }
  return false;
}

}  // namespace tyvo::cron::reference
