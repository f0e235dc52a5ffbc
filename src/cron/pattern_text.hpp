#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tyvo::cron {

enum FieldIndex : unsigned {
  kSecond,
  kMinute,
  kHour,
  kDayOfMonth,
  kMonth,
  kDayOfWeek,
  kYear,
  kFieldCount,
};

// A pattern's text brought into the seven-field shape: upper case, nicknames
// expanded, day and month names turned into numbers, "?" turned into "*",
// and a leading "+" of the day-of-week field taken off and remembered.
struct PatternText {
  std::array<std::string, kFieldCount> fields;
  bool days_need_both = false;
};

// Byte length of the white-space character starting at `at`, or 0. White
// space is Unicode's White_Space set in UTF-8.
std::size_t white_space_length(std::string_view text, std::size_t at) noexcept;

// Throws Error (EmptyPattern, InvalidPattern).
PatternText normalize_pattern_text(std::string_view text);

}  // namespace tyvo::cron
