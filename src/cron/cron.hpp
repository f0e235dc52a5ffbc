#pragma once

// Cron patterns: parse a pattern text once, then ask for its occurrences.
//
//   const tyvo::cron::Pattern every_quarter = tyvo::cron::parse("*/15 * * * *");
//   const auto next = tyvo::cron::next_after(every_quarter, now);  // UTC, whole seconds
//   const auto last = tyvo::cron::find_previous_before(every_quarter, now);
//
// Patterns have 5, 6 or 7 fields (seconds and year optional) and are read in
// UTC. Errors are tyvo::cron::Error, whose what() is the exact text to show.
//
// Readings worth knowing: "L" alone in the day-of-week field is Saturday, the
// last day of the week; "nW" in a month without day n matches nothing that
// month, as plain day n would not; and a search looks as far as the year
// 5000 before it gives up, so a rare pattern gets its real next occurrence.

#include <chrono>
#include <optional>
#include <string_view>

#include "cron/error.hpp"
#include "cron/pattern.hpp"

namespace tyvo::cron {

// Throws Error: EmptyPattern, InvalidPattern, IllegalCharacters, ComponentError.
Pattern parse(std::string_view text);

// The earliest instant at least one second after `start` that the pattern
// matches. Throws Error: TimeSearchLimitExceeded when no such instant exists
// up to the end of the year 5000, InvalidDate when `start` lies outside the
// proleptic Gregorian calendar's range (years -32767 to 32767).
std::chrono::sys_seconds next_after(const Pattern& pattern, std::chrono::sys_seconds start);

// next_after without exceptions, for callers on a hot path.
struct Occurrence {
  std::chrono::sys_seconds time{};
  std::optional<Error::Kind> failure;  // set when there is no occurrence

  explicit operator bool() const noexcept { return !failure; }
};
Occurrence find_next_after(const Pattern& pattern, std::chrono::sys_seconds start) noexcept;

// The latest occurrence at least one second before `end`: the mirror of
// find_next_after over the same set of instants, clock changes included, so
// that next_after(previous) never skips one. TimeSearchLimitExceeded when
// there is none from the year 1 on, InvalidDate as for find_next_after.
Occurrence find_previous_before(const Pattern& pattern, std::chrono::sys_seconds end) noexcept;

}  // namespace tyvo::cron
