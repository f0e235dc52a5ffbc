#pragma once

#include <bit>
#include <cstdint>

namespace tyvo::cron {

// Smallest set bit at or above `from`, or -1. Field values are bit positions,
// so this is "the next allowed value" for seconds, minutes, hours and days.
constexpr int next_set_bit(std::uint64_t mask, int from) noexcept {
  if (from < 0) from = 0;
  if (from >= 64) return -1;
  const std::uint64_t remaining = mask & (~std::uint64_t{0} << from);
  return remaining == 0 ? -1 : std::countr_zero(remaining);
}

// Largest set bit at or below `from`, or -1: "the previous allowed value".
constexpr int previous_set_bit(std::uint64_t mask, int from) noexcept {
  if (from < 0) return -1;
  if (from > 63) from = 63;
  const std::uint64_t remaining = mask & (~std::uint64_t{0} >> (63 - from));
  return remaining == 0 ? -1 : 63 - std::countl_zero(remaining);
}

constexpr std::uint64_t bit(int position) noexcept { return std::uint64_t{1} << position; }

}  // namespace tyvo::cron
