#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

#include "cron/year_set.hpp"
#include "cron/zone.hpp"

namespace tyvo::cron {

// The value sets of a parsed pattern, each as a bit set indexed by the value
// itself (bit 5 of `minutes` is minute 5). Weekdays count from Sunday = 0.
struct Fields {
  std::uint64_t seconds = 0;
  std::uint64_t minutes = 0;
  std::uint32_t hours = 0;

  std::uint32_t days_of_month = 0;     // bits 1..31
  bool last_day_of_month = false;      // `L`
  std::uint32_t nearest_weekdays = 0;  // bit n for `nW`

  std::uint16_t months = 0;  // bits 1..12

  std::uint8_t weekdays = 0;                   // bits 0..6
  std::array<std::uint8_t, 7> nth_weekdays{};  // [weekday] bit k for `weekday#k`
  std::uint8_t last_weekdays = 0;              // bit w for `wL`

  YearSet years;

  // The day rule: a date matches on day of month OR day of week, unless one
  // side is an unrestricted "*" (then only the other side counts) or the
  // day-of-week field began with "+" (then both must match).
  bool day_of_month_unrestricted = false;
  bool day_of_week_unrestricted = false;
  bool days_need_both = false;

  // The hour field is exactly "*": in a zone, such a pattern fires at both
  // passes of a repeated local time and skips local times that do not exist.
  bool hour_unrestricted = false;
};

// A parsed pattern: immutable, a few hundred bytes, safe to copy and to share
// between threads. Built only by parse().
class Pattern {
 public:
  const Fields& fields() const noexcept { return fields_; }

  // The zone whose wall clock the fields are matched against; nullptr for UTC
  // (a text without a zone prefix).
  const Zone* zone() const noexcept { return zone_.get(); }

  // The days of `month` that satisfy the day rule, as bits 1..31.
  std::uint32_t matching_days(std::chrono::year_month month) const noexcept;

  // The same for any month of `month_length` days whose first day falls on
  // `first_weekday` (0 = Sunday): nothing else about a month matters.
  std::uint32_t matching_days(unsigned month_length, unsigned first_weekday) const noexcept;

 private:
  friend Pattern parse(std::string_view text);
  Pattern(const Fields& fields, std::shared_ptr<const Zone> zone) noexcept;

  std::uint32_t day_of_month_matches(unsigned month_length, unsigned first_weekday) const noexcept;
  std::uint32_t day_of_week_matches(unsigned month_length, unsigned first_weekday) const noexcept;

  Fields fields_;
  std::shared_ptr<const Zone> zone_;
  // Days 1..31 that the plain and `#k` weekday sets select in a month whose
  // first day falls on the indexed weekday; months shorter than 31 days mask
  // off the tail.
  std::array<std::uint32_t, 7> weekday_days_by_first_weekday_{};
};

}  // namespace tyvo::cron
