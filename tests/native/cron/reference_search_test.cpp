// The jumping search against a slow, obviously correct one: random patterns,
// random starts, and a day-by-day scan that applies the day rule to each
// calendar date directly.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "cron/cron.hpp"
#include "pattern_generator.hpp"
#include "utc_text.hpp"

namespace tyvo::cron {
namespace {

using namespace std::chrono;
using testing::utc;
using testing::utc_text;
using testing::PatternGenerator;

bool has(std::uint64_t mask, unsigned value) { return ((mask >> value) & 1) != 0; }

unsigned month_length(year_month month) { return static_cast<unsigned>((month / last).day()); }

bool nearest_weekday_is(const Fields& fields, year_month_day date) {
  const unsigned length = month_length(date.year() / date.month());
  for (unsigned n = 1; n <= length; ++n) {
    if (!has(fields.nearest_weekdays, n)) continue;
    const weekday on_n{sys_days{date.year() / date.month() / day{n}}};
    unsigned target = n;
    if (on_n == Saturday) target = n == 1 ? 3 : n - 1;
    if (on_n == Sunday) target = n == length ? n - 2 : n + 1;
    if (day{target} == date.day()) return true;
  }
  return false;
}

bool date_matches(const Fields& fields, year_month_day date) {
  if (!fields.years.contains(static_cast<int>(date.year()))) return false;
  if (!has(fields.months, static_cast<unsigned>(date.month()))) return false;
  const unsigned day_of_month = static_cast<unsigned>(date.day());
  const unsigned length = month_length(date.year() / date.month());
  const unsigned weekday_number = weekday{sys_days{date}}.c_encoding();

  const bool by_day = has(fields.days_of_month, day_of_month) ||
                      (fields.last_day_of_month && day_of_month == length) ||
                      nearest_weekday_is(fields, date);
  const bool by_weekday = has(fields.weekdays, weekday_number) ||
                          has(fields.nth_weekdays[weekday_number], (day_of_month - 1) / 7 + 1) ||
                          (has(fields.last_weekdays, weekday_number) && day_of_month + 7 > length);
  if (fields.day_of_month_unrestricted) return fields.day_of_week_unrestricted || by_weekday;
  if (fields.day_of_week_unrestricted) return by_day;
  return fields.days_need_both ? by_day && by_weekday : by_day || by_weekday;
}

// Day by day for at most `horizon` days, every time of day in order.
std::optional<sys_seconds> slow_next_after(const Fields& fields, sys_seconds start, days horizon) {
  const sys_days first_day = floor<days>(start);
  for (sys_days date = first_day; date <= first_day + horizon; date += days{1}) {
    if (!date_matches(fields, year_month_day{date})) continue;
    for (unsigned h = 0; h < 24; ++h) {
      if (!has(fields.hours, h)) continue;
      for (unsigned m = 0; m < 60; ++m) {
        if (!has(fields.minutes, m)) continue;
        for (unsigned s = 0; s < 60; ++s) {
          const sys_seconds candidate = date + hours{h} + minutes{m} + seconds{s};
          if (has(fields.seconds, s) && candidate > start) return candidate;
        }
      }
    }
  }
  return std::nullopt;
}

TEST(ReferenceSearch, AgreesWithADayByDayScan) {
  PatternGenerator generator(20240229);
  std::mt19937 random(7);
  const sys_seconds earliest = utc("1999-06-01T00:00:00Z");
  const sys_seconds latest = utc("2101-06-01T00:00:00Z");
  std::uniform_int_distribution<long long> start_offset(0, (latest - earliest).count());
  const days horizon{3 * 366};

  int compared = 0;
  int attempts = 0;
  while (compared < 1500 && ++attempts < 20000) {
    const std::string text = generator.pattern();
    std::optional<Pattern> pattern;
    try {
      pattern.emplace(parse(text));
    } catch (const Error&) {
      continue;  // refusals have their own tests
    }
    ++compared;
    sys_seconds start = earliest + seconds{start_offset(random)};
    for (int step = 0; step < 3; ++step) {
      SCOPED_TRACE("pattern \"" + text + "\" after " + utc_text(start));
      const Occurrence fast = find_next_after(*pattern, start);
      const std::optional<sys_seconds> slow = slow_next_after(pattern->fields(), start, horizon);
      if (slow) {
        ASSERT_TRUE(fast) << "expected " << utc_text(*slow);
        ASSERT_EQ(utc_text(fast.time), utc_text(*slow));
        start = fast.time;
      } else {
        // Nothing within the horizon: the search must look further or give up.
        if (fast) {
          ASSERT_GT(fast.time, start + horizon);
        }
        break;
      }
    }
  }
  EXPECT_EQ(compared, 1500);
}

// Occurrences years apart, and patterns with none at all, walked to the year
// 5000: the search skips kinds of years it has already found empty, which a
// plain scan never does.
TEST(ReferenceSearch, RareOccurrencesUpToTheYear5000) {
  const sys_days end_of_search = sys_days{year{5001} / 1 / 1};
  for (const char* text : {"59 59 23 L 2 +SUNL", "0 0 29 2 +MON#5", "0 0 0 29 2 * */7", "0 0 31 12 +0#5",
                           "0 0 1 * +MON#5", "0 0 28W 2 +FRI"}) {
    const Pattern pattern = parse(text);
    sys_seconds start = utc("1990-01-01T00:00:00Z");
    for (int step = 0;; ++step) {
      SCOPED_TRACE(std::string{"pattern \""} + text + "\" after " + utc_text(start));
      const Occurrence fast = find_next_after(pattern, start);
      const auto slow = slow_next_after(pattern.fields(), start, end_of_search - floor<days>(start));
      ASSERT_EQ(fast.failure.has_value(), !slow.has_value());
      if (!slow) break;
      ASSERT_EQ(utc_text(fast.time), utc_text(*slow));
      start = fast.time;
    }
  }
}

TEST(ReferenceSearch, RandomTextNeverCrashesTheParser) {
  const std::string alphabet = "0123456789*/,-?#+LW@ \tlwMONSUNJANDECXY\xC2\xA0\xFF";
  std::mt19937 random(99);
  std::uniform_int_distribution<std::size_t> letter(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 40);
  const sys_seconds start = utc("2024-01-01T00:00:00Z");
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = length(random); n > 0; --n) text += alphabet[letter(random)];
    try {
      const Pattern pattern = parse(text);
      const Occurrence next = find_next_after(pattern, start);
      if (next) {
        EXPECT_GT(next.time, start);
      }
    } catch (const Error& error) {
      EXPECT_FALSE(error.text().empty());
    }
  }
}

}  // namespace
}  // namespace tyvo::cron
