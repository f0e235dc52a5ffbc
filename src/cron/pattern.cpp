#include "cron/pattern.hpp"

#include "cron/bit_mask.hpp"

namespace tyvo::cron {
namespace {

// Bits 1..length: the days that exist in a month of that length.
constexpr std::uint32_t days_of_month_up_to(unsigned length) noexcept {
  return static_cast<std::uint32_t>(((std::uint64_t{1} << length) - 1) << 1);
}

// Day of month of the first `weekday` in a month starting on `first_weekday`.
constexpr unsigned first_day_on(unsigned weekday, unsigned first_weekday) noexcept {
  return 1 + (weekday + 7 - first_weekday) % 7;
}

}  // namespace

Pattern::Pattern(const Fields& fields, std::shared_ptr<const Zone> zone) noexcept
    : fields_(fields), zone_(std::move(zone)) {
  for (unsigned first_weekday = 0; first_weekday < 7; ++first_weekday) {
    // Plain weekdays repeat every seven days from their first appearance.
    std::uint64_t first_week = 0;
    for (unsigned weekday = 0; weekday < 7; ++weekday) {
      if ((fields_.weekdays >> weekday) & 1)
        first_week |= bit(static_cast<int>(first_day_on(weekday, first_weekday)));
    }
    std::uint64_t days =
        first_week | first_week << 7 | first_week << 14 | first_week << 21 | first_week << 28;
    for (unsigned weekday = 0; weekday < 7; ++weekday) {
      for (unsigned kth = fields_.nth_weekdays[weekday]; kth != 0; kth &= kth - 1) {
        const auto k = static_cast<unsigned>(std::countr_zero(kth));
        days |= bit(static_cast<int>(first_day_on(weekday, first_weekday) + 7 * (k - 1)));
      }
    }
    weekday_days_by_first_weekday_[first_weekday] =
        static_cast<std::uint32_t>(days & days_of_month_up_to(31));
  }
}

std::uint32_t Pattern::day_of_month_matches(unsigned month_length, unsigned first_weekday) const noexcept {
  std::uint32_t days = fields_.days_of_month;
  if (fields_.last_day_of_month) days |= static_cast<std::uint32_t>(bit(static_cast<int>(month_length)));
  // `nW`: the Monday-to-Friday day nearest to n without leaving the month. A
  // day n the month does not have yields nothing, as a plain day n would.
  for (std::uint32_t pending = fields_.nearest_weekdays; pending != 0; pending &= pending - 1) {
    const auto n = static_cast<unsigned>(std::countr_zero(pending));
    if (n > month_length) break;
    const unsigned weekday = (first_weekday + n - 1) % 7;
    unsigned day = n;
    if (weekday == 6) day = n == 1 ? n + 2 : n - 1;             // Saturday
    if (weekday == 0) day = n == month_length ? n - 2 : n + 1;  // Sunday
    days |= static_cast<std::uint32_t>(bit(static_cast<int>(day)));
  }
  return days & days_of_month_up_to(month_length);
}

std::uint32_t Pattern::day_of_week_matches(unsigned month_length, unsigned first_weekday) const noexcept {
  std::uint32_t days = weekday_days_by_first_weekday_[first_weekday];
  if (fields_.last_weekdays != 0) {
    const unsigned last_weekday = (first_weekday + month_length - 1) % 7;
    for (unsigned weekday = 0; weekday < 7; ++weekday) {
      if (((fields_.last_weekdays >> weekday) & 1) == 0) continue;
      const unsigned day = month_length - (last_weekday + 7 - weekday) % 7;
      days |= static_cast<std::uint32_t>(bit(static_cast<int>(day)));
    }
  }
  return days & days_of_month_up_to(month_length);
}

std::uint32_t Pattern::matching_days(std::chrono::year_month month) const noexcept {
  using namespace std::chrono;
  const auto length = static_cast<unsigned>((month / last).day());
  return matching_days(length, weekday{sys_days{month / 1}}.c_encoding());
}

std::uint32_t Pattern::matching_days(unsigned month_length, unsigned first_weekday) const noexcept {
  if (fields_.day_of_month_unrestricted && fields_.day_of_week_unrestricted) {
    return days_of_month_up_to(month_length);
  }
  if (fields_.day_of_month_unrestricted) return day_of_week_matches(month_length, first_weekday);
  if (fields_.day_of_week_unrestricted) return day_of_month_matches(month_length, first_weekday);
  const std::uint32_t by_day = day_of_month_matches(month_length, first_weekday);
  const std::uint32_t by_weekday = day_of_week_matches(month_length, first_weekday);
  return fields_.days_need_both ? by_day & by_weekday : by_day | by_weekday;
}

}  // namespace tyvo::cron
