// The backward search against the forward one: over the same instants, so
// walking back from any start and then forward again must meet the forward
// walk exactly, in UTC and across clock changes.

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cron/cron.hpp"
#include "pattern_generator.hpp"
#include "utc_text.hpp"

namespace tyvo::cron {
namespace {

using namespace std::chrono;
using testing::PatternGenerator;
using testing::utc;
using testing::utc_text;

std::string describe(const Occurrence& occurrence) {
  return occurrence ? utc_text(occurrence.time) : "none";
}

// From `start`: up to `steps` occurrences forwards and backwards must be the
// same instants, and the first on either side must bracket it.
void expect_mirrored(const Pattern& pattern, sys_seconds start, int steps) {
  std::vector<sys_seconds> forwards;
  Occurrence next = find_next_after(pattern, start);
  for (int i = 0; i < steps && next; ++i) {
    forwards.push_back(next.time);
    next = find_next_after(pattern, next.time);
  }
  // Backwards from the last one found (or the start) must retrace them.
  const sys_seconds top = forwards.empty() ? start + seconds{1} : forwards.back() + seconds{1};
  Occurrence previous = find_previous_before(pattern, top);
  for (auto expected = forwards.rbegin(); expected != forwards.rend(); ++expected) {
    ASSERT_TRUE(previous) << "expected " << utc_text(*expected);
    ASSERT_EQ(utc_text(previous.time), utc_text(*expected));
    previous = find_previous_before(pattern, previous.time);
  }
  // The one before the first: at or before the start, and next of it is the first again.
  if (previous) {
    ASSERT_LE(previous.time, start);
    const Occurrence again = find_next_after(pattern, previous.time);
    ASSERT_EQ(describe(again), forwards.empty() ? describe(find_next_after(pattern, start)) : utc_text(forwards.front()));
  } else {
    ASSERT_EQ(previous.failure, Error::Kind::TimeSearchLimitExceeded);
    // Nothing before: the forward search from the year 1 finds nothing at or before the start either.
    const Occurrence first = find_next_after(pattern, utc("0001-01-01T00:00:00Z") - seconds{1});
    if (first) {
      ASSERT_GT(first.time, start);
    }
  }
}

TEST(PreviousSearch, MirrorsTheForwardSearchOnRandomPatternsInUtc) {
  PatternGenerator generator(20261208);
  std::mt19937 random(11);
  const sys_seconds earliest = utc("1999-06-01T00:00:00Z");
  const sys_seconds latest = utc("2101-06-01T00:00:00Z");
  std::uniform_int_distribution<long long> start_offset(0, (latest - earliest).count());
  int compared = 0;
  for (int attempt = 0; compared < 1500 && attempt < 20000; ++attempt) {
    const std::string text = generator.pattern();
    std::optional<Pattern> pattern;
    try {
      pattern.emplace(parse(text));
    } catch (const Error&) {
      continue;
    }
    ++compared;
    const sys_seconds start = earliest + seconds{start_offset(random)};
    SCOPED_TRACE("pattern \"" + text + "\" around " + utc_text(start));
    expect_mirrored(*pattern, start, 4);
  }
  EXPECT_EQ(compared, 1500);
}

TEST(PreviousSearch, MirrorsTheForwardSearchAcrossClockChanges) {
  const std::vector<std::string> zones = {"Europe/Berlin", "America/New_York", "America/St_Johns",
                                          "Australia/Lord_Howe", "Pacific/Chatham", "Pacific/Apia",
                                          "Africa/Casablanca", "America/Santiago", "Europe/Dublin",
                                          "Antarctica/Troll", "Asia/Kathmandu", "Europe/Amsterdam"};
  // Patterns whose occurrences lie near the changes (night hours, every
  // few minutes, hour "*" and restricted) plus the random ones.
  const std::vector<std::string> fixed = {"30 2 * * *", "*/15 * * * *", "0,30 2 * * *", "0 2,3 * * *",
                                          "0 * * * *", "*/20 * 1-3 * * *", "0 0 * * *", "59 1 * * SUN",
                                          "0 30 1-2 * * *", "0 0 29 2 *"};
  PatternGenerator generator(77);
  std::mt19937 random(5);
  std::uniform_int_distribution<long long> start_offset(0, (utc("2040-01-01T00:00:00Z") - utc("1970-01-01T00:00:00Z")).count());
  std::uniform_int_distribution<long long> near_change(-3 * 3600, 3 * 3600);
  std::uniform_int_distribution<std::size_t> pick_zone(0, zones.size() - 1);
  std::uniform_int_distribution<std::size_t> pick_fixed(0, fixed.size() - 1);
  int compared = 0;
  for (int attempt = 0; compared < 2000 && attempt < 20000; ++attempt) {
    const std::string& zone_name = zones[pick_zone(random)];
    const std::string body = attempt % 2 == 0 ? fixed[pick_fixed(random)] : generator.pattern();
    std::optional<Pattern> pattern;
    try {
      pattern.emplace(parse("CRON_TZ=" + zone_name + " " + body));
    } catch (const Error&) {
      continue;
    }
    ++compared;
    // Starts close to one of the zone's changes, most of the time.
    sys_seconds start = utc("1970-01-01T00:00:00Z") + seconds{start_offset(random)};
    const Zone& zone = *pattern->zone();
    const std::size_t period = zone.period_index(start.time_since_epoch().count());
    if (period + 1 < zone.period_count() && attempt % 4 != 3) {
      start = sys_seconds{seconds{zone.period_end(period) + near_change(random)}};
    }
    SCOPED_TRACE("\"CRON_TZ=" + zone_name + " " + body + "\" around " + utc_text(start));
    expect_mirrored(*pattern, start, 6);
  }
  EXPECT_EQ(compared, 2000);
}

struct Case {
  std::string pattern;
  std::string end;
  std::string expected;  // "none" for no occurrence
};

void expect_previous(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.pattern + "\" before " + c.end);
    EXPECT_EQ(describe(find_previous_before(parse(c.pattern), utc(c.end))), c.expected);
  }
}

TEST(PreviousSearch, ClockChangeRulesReadBackwards) {
  expect_previous({
      // Berlin, 29 March 2026: 02:00 +01:00 becomes 03:00 +02:00 at 01:00 UTC.
      {"CRON_TZ=Europe/Berlin 30 2 * * *", "2026-03-29T01:00:01Z", "2026-03-29T01:00:00Z"},  // at the gap's end
      {"CRON_TZ=Europe/Berlin 30 2 * * *", "2026-03-29T01:00:00Z", "2026-03-28T01:30:00Z"},
      {"CRON_TZ=Europe/Berlin */15 * * * *", "2026-03-29T01:00:01Z", "2026-03-29T01:00:00Z"},  // 03:00 +02:00
      {"CRON_TZ=Europe/Berlin */15 * * * *", "2026-03-29T01:00:00Z", "2026-03-29T00:45:00Z"},  // 01:45 +01:00
      // Berlin, 25 October 2026: 03:00 +02:00 becomes 02:00 +01:00 at 01:00 UTC.
      {"CRON_TZ=Europe/Berlin 30 2 * * *", "2026-10-25T03:00:00Z", "2026-10-25T00:30:00Z"},  // first pass only
      {"CRON_TZ=Europe/Berlin */30 * * * *", "2026-10-25T01:31:00Z", "2026-10-25T01:30:00Z"},  // 02:30 +01:00
      {"CRON_TZ=Europe/Berlin */30 * * * *", "2026-10-25T01:00:00Z", "2026-10-25T00:30:00Z"},  // 02:30 +02:00
      // In the second pass, a match of the year before would be a wrong answer: the first pass is later.
      {"CRON_TZ=Europe/Berlin 30 2 25 10 *", "2026-10-25T01:10:00Z", "2026-10-25T00:30:00Z"},
      // Apia skipped 30 December 2011: a daily 09:00 ran at 00:00 on the 31st.
      {"CRON_TZ=Pacific/Apia 0 9 * * *", "2011-12-30T12:00:00Z", "2011-12-30T10:00:00Z"},
      {"CRON_TZ=Pacific/Apia 0 9 * * *", "2011-12-30T10:00:00Z", "2011-12-29T19:00:00Z"},
      // Lord Howe shifts by 30 minutes: 02:00 +11:00 becomes 01:30 +10:30 (5 April 2026).
      {"CRON_TZ=Australia/Lord_Howe 45 1 * * *", "2026-04-04T16:00:00Z", "2026-04-04T14:45:00Z"},
  });
}

TEST(PreviousSearch, EdgesOfTheSearchedYears) {
  expect_previous({
      {"* * * * * *", "0001-01-01T00:00:00Z", "none"},
      {"* * * * * *", "0001-01-01T00:00:01Z", "0001-01-01T00:00:00Z"},
      {"0 0 0 1 1 * 3000", "2026-01-01T00:00:00Z", "none"},
      {"0 0 0 1 1 * 3000", "4000-01-01T00:00:00Z", "3000-01-01T00:00:00Z"},
      {"0 0 0 29 2 * *", "2104-02-29T00:00:00Z", "2096-02-29T00:00:00Z"},  // 2100 is not leap
      {"59 59 23 31 12 * *", "9999-06-01T00:00:00Z", "5000-12-31T23:59:59Z"},
      {"0 0 30 2 *", "2026-01-01T00:00:00Z", "none"},
      {"CRON_TZ=Europe/Berlin 0 0 0 1 1 * 3000", "2026-01-01T00:00:00Z", "none"},
      {"CRON_TZ=Europe/Berlin 0 0 0 1 1 * 3000", "4000-01-01T00:00:00Z", "2999-12-31T23:00:00Z"},
  });
  EXPECT_EQ(find_previous_before(parse("* * * * *"), sys_days{year::min() / 1 / 1} - seconds{1}).failure,
            Error::Kind::InvalidDate);
}

}  // namespace
}  // namespace tyvo::cron
