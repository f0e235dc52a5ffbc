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

// Throws Error (EmptyPattern, InvalidPattern).
PatternText normalize_pattern_text(std::string_view text);

}  // namespace tyvo::cron
