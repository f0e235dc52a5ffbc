// What the zoned searches, forwards and backwards, share about a zone's
// periods of constant offset and the local times each one shows.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "cron/year_set.hpp"
#include "cron/zone.hpp"

namespace tyvo::cron::zone_periods {

constexpr std::int64_t seconds_since_epoch(std::chrono::sys_seconds t) noexcept {
  return t.time_since_epoch().count();
}

using std::chrono::January;
using std::chrono::December;
using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year;

inline constexpr std::int64_t calendar_begin = seconds_since_epoch(sys_days{year::min() / January / 1});
inline constexpr std::int64_t calendar_end = seconds_since_epoch(sys_days{year::max() / December / 31} + days{1});
inline constexpr std::int64_t search_begin = seconds_since_epoch(sys_days{year{YearSet::first_year} / January / 1});
inline constexpr std::int64_t search_end = seconds_since_epoch(sys_days{year{YearSet::last_year + 1} / January / 1});

// How far back a repeated local time is looked for: the database never
// repeats a time across more than one change, this allows for three.
inline constexpr std::size_t periods_looked_back = 3;

// Local time of period i: [begin + offset, end + offset), unbounded ends open.
inline bool shows(const Zone& zone, std::size_t i, std::int64_t wall) noexcept {
  const std::int64_t begin = zone.period_begin(i);
  const std::int64_t end = zone.period_end(i);
  const std::int32_t offset = zone.period_offset(i);
  return (begin == Zone::unbounded_past || wall >= begin + offset) &&
         (end == Zone::unbounded_future || wall < end + offset);
}

// The nearest of the few periods before period i that already showed local
// time `wall`, if any: then period i shows it a second time.
inline std::optional<std::size_t> shown_before_in(const Zone& zone, std::size_t i, std::int64_t wall) noexcept {
  for (std::size_t back = 1; back <= periods_looked_back && back <= i; ++back) {
    if (shows(zone, i - back, wall)) return i - back;
  }
  return std::nullopt;
}

}  // namespace tyvo::cron::zone_periods
