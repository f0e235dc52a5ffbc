// Occurrences of patterns with a zone prefix, one table per rule. Every
// expected instant was checked against the system's zone database through
// Python's zoneinfo (the local reading is in the comment beside it).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cron/cron.hpp"
#include "utc_text.hpp"

namespace tyvo::cron {
namespace {

using testing::utc;
using testing::utc_text;

struct ZoneVector {
  std::string zone;
  std::string start;
  std::string pattern;
  std::vector<std::string> occurrences;
};

void expect_vectors(const std::vector<ZoneVector>& vectors) {
  for (const ZoneVector& vector : vectors) {
    const std::string text = "CRON_TZ=" + vector.zone + " " + vector.pattern;
    SCOPED_TRACE("\"" + text + "\" after " + vector.start);
    const Pattern pattern = parse(text);
    auto after = utc(vector.start);
    for (const std::string& expected : vector.occurrences) {
      after = next_after(pattern, after);
      EXPECT_EQ(utc_text(after), expected);
    }
  }
}

TEST(ZonedOccurrences, LocalTimesThatOccurOnce) {
  expect_vectors({
      {"Europe/Berlin", "2026-01-05T00:00:00Z", "0 9 * * *",
       {"2026-01-05T08:00:00Z", "2026-01-06T08:00:00Z"}},  // 09:00 +01:00
      {"Australia/Sydney", "2026-01-05T00:00:00Z", "0 9 * * *",
       {"2026-01-05T22:00:00Z", "2026-01-06T22:00:00Z"}},  // 09:00 +11:00, southern summer
      {"Asia/Kathmandu", "2026-01-05T00:00:00Z", "0 0 * * *",
       {"2026-01-05T18:15:00Z", "2026-01-06T18:15:00Z"}},  // 00:00 +05:45
      {"America/Sao_Paulo", "2019-11-02T00:00:00Z", "0 0 * * *",
       {"2019-11-02T03:00:00Z", "2019-11-03T03:00:00Z"}},  // no daylight saving time any more
      {"UTC", "2024-02-28T00:00:00Z", "0 0 12 * * *", {"2024-02-28T12:00:00Z", "2024-02-29T12:00:00Z"}},
      // Far past the last recorded transition, from the file's footer rule:
      // the last Sunday of March 2400 is the 26th.
      {"Europe/Berlin", "2400-03-25T00:00:00Z", "30 2 * * *",
       {"2400-03-25T01:30:00Z", "2400-03-26T01:00:00Z", "2400-03-27T00:30:00Z"}},
      // Day and weekday fields read the local date: Monday in Sydney while it is Sunday in UTC.
      {"Australia/Sydney", "2026-01-03T00:00:00Z", "0 8 * * MON", {"2026-01-04T21:00:00Z"}},
  });
}

TEST(ZonedOccurrences, RepeatedTimesFireAtTheFirstPassOnly) {
  expect_vectors({
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "30 2 * * *",
       {"2026-10-25T00:30:00Z", "2026-10-26T01:30:00Z"}},  // 02:30 +02:00; not 02:30 +01:00
      {"Australia/Sydney", "2026-04-04T00:00:00Z", "30 2 * * *",
       {"2026-04-04T15:30:00Z", "2026-04-05T16:30:00Z"}},  // 02:30 +11:00, then +10:00 the day after
      {"Australia/Lord_Howe", "2026-04-04T14:00:00Z", "*/15 1 * * *",  // 30-minute shift: 01:30-02:00 twice
       {"2026-04-04T14:15:00Z", "2026-04-04T14:30:00Z", "2026-04-04T14:45:00Z", "2026-04-05T14:30:00Z"}},
      {"Pacific/Chatham", "2026-04-04T00:00:00Z", "0 3 * * *",
       {"2026-04-04T13:15:00Z", "2026-04-05T14:15:00Z"}},  // 03:00 +13:45, then +12:45
      {"Europe/Dublin", "2026-10-24T12:00:00Z", "30 1 * * *",  // winter time is the "daylight" one there
       {"2026-10-25T00:30:00Z", "2026-10-26T01:30:00Z"}},
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "@daily", {"2026-10-24T22:00:00Z", "2026-10-25T23:00:00Z"}},
  });
}

TEST(ZonedOccurrences, RepeatedTimesFireAtBothPassesWhenTheHourIsAStar) {
  expect_vectors({
      {"Europe/Berlin", "2026-10-25T00:00:00Z", "*/30 * * * *",  // 02:30 +02:00, 02:00 and 02:30 +01:00
       {"2026-10-25T00:30:00Z", "2026-10-25T01:00:00Z", "2026-10-25T01:30:00Z", "2026-10-25T02:00:00Z"}},
      {"Europe/Dublin", "2026-10-25T00:00:00Z", "@hourly",  // 01:00 +00:00 is the second 01:00
       {"2026-10-25T01:00:00Z", "2026-10-25T02:00:00Z"}},
      {"Australia/Lord_Howe", "2026-04-04T14:00:00Z", "45 * * * *",
       {"2026-04-04T14:45:00Z", "2026-04-04T15:15:00Z", "2026-04-04T16:15:00Z"}},  // 01:45 twice, 02:45
      {"America/New_York", "2026-11-01T05:00:00Z", "0 30 * * * *",
       {"2026-11-01T05:30:00Z", "2026-11-01T06:30:00Z", "2026-11-01T07:30:00Z"}},  // 01:30 -04, -05, 02:30
  });
}

TEST(ZonedOccurrences, SkippedTimesFireOnceWhenTheGapEnds) {
  expect_vectors({
      {"Europe/Berlin", "2026-03-28T12:00:00Z", "30 2 * * *",
       {"2026-03-29T01:00:00Z", "2026-03-30T00:30:00Z"}},  // 03:00 +02:00 instead of 02:30
      {"America/New_York", "2026-03-07T12:00:00Z", "0,30 2 * * *",  // two skipped times, one fire
       {"2026-03-08T07:00:00Z", "2026-03-09T06:00:00Z", "2026-03-09T06:30:00Z"}},
      {"America/New_York", "2026-03-07T12:00:00Z", "0 2,3 * * *",  // a skipped time and 03:00 itself
       {"2026-03-08T07:00:00Z", "2026-03-09T06:00:00Z", "2026-03-09T07:00:00Z"}},
      {"Australia/Sydney", "2026-10-03T00:00:00Z", "30 2 * * *",
       {"2026-10-03T16:00:00Z", "2026-10-04T15:30:00Z"}},  // 03:00 +11:00
      {"Australia/Lord_Howe", "2026-10-03T00:00:00Z", "15 2 * * *",
       {"2026-10-03T15:30:00Z", "2026-10-04T15:15:00Z"}},  // 02:00 -> 02:30: fires at 02:30 +11:00
      {"Pacific/Chatham", "2026-09-26T00:00:00Z", "0 3 * * *",
       {"2026-09-26T14:00:00Z", "2026-09-27T13:15:00Z"}},  // 02:45 -> 03:45: fires at 03:45 +13:45
      {"America/Sao_Paulo", "2018-11-03T00:00:00Z", "0 0 * * *",
       {"2018-11-03T03:00:00Z", "2018-11-04T03:00:00Z"}},  // midnight skipped: 01:00 -02:00
      {"Antarctica/Troll", "2026-03-28T12:00:00Z", "0 1,2 * * *",
       {"2026-03-29T01:00:00Z", "2026-03-29T23:00:00Z"}},  // +00 -> +02 skips 01:00 and 02:00: one fire
      {"Asia/Tehran", "2022-03-20T12:00:00Z", "0 0 * * *",  // its last change before it dropped DST
       {"2022-03-20T20:30:00Z", "2022-03-21T20:30:00Z", "2022-03-22T19:30:00Z"}},
  });
}

TEST(ZonedOccurrences, SkippedTimesAreSkippedWhenTheHourIsAStar) {
  expect_vectors({
      {"Europe/Berlin", "2026-03-29T00:00:00Z", "*/30 * * * *",
       {"2026-03-29T00:30:00Z", "2026-03-29T01:00:00Z", "2026-03-29T01:30:00Z"}},  // 01:30, 03:00, 03:30
      {"Australia/Lord_Howe", "2026-10-03T15:00:00Z", "15 * * * *",  // from 01:30 +10:30
       {"2026-10-03T16:15:00Z", "2026-10-03T17:15:00Z"}},  // 02:15 is skipped: 03:15 and 04:15 +11:00
  });
}

// Samoa moved across the date line: 29 December 2011 (-10:00) was followed by
// 31 December (+14:00). A daily job fires once for the lost day, at its end.
TEST(ZonedOccurrences, AZoneThatSkippedADay) {
  expect_vectors({
      {"Pacific/Apia", "2011-12-29T00:00:00Z", "0 9 * * *",
       {"2011-12-29T19:00:00Z", "2011-12-30T10:00:00Z", "2011-12-30T19:00:00Z"}},
      {"Pacific/Apia", "2011-12-29T08:00:00Z", "0 */6 * * *",  // 30 December's four, and 31 December 00:00, once
       {"2011-12-29T10:00:00Z", "2011-12-29T16:00:00Z", "2011-12-29T22:00:00Z", "2011-12-30T04:00:00Z",
        "2011-12-30T10:00:00Z", "2011-12-30T16:00:00Z"}},
      {"Pacific/Apia", "2011-12-30T08:00:00Z", "0 0 * * * *",  // hour "*": the day is skipped
       {"2011-12-30T09:00:00Z", "2011-12-30T10:00:00Z", "2011-12-30T11:00:00Z"}},
      {"Pacific/Apia", "2011-12-29T00:00:00Z", "0 12 30 12 *", {"2011-12-30T10:00:00Z", "2012-12-29T22:00:00Z"}},  // then 12:00 +14:00
  });
}

TEST(ZonedOccurrences, UnprefixedAndUtcAgree) {
  const Pattern utc_zone = parse("TZ=UTC 0 */7 * * 1-5");
  const Pattern plain = parse("0 */7 * * 1-5");
  auto a = utc("2026-01-01T00:00:00Z"), b = a;
  for (int i = 0; i < 50; ++i) {
    a = next_after(utc_zone, a);
    b = next_after(plain, b);
    ASSERT_EQ(a, b);
  }
  EXPECT_EQ(plain.zone(), nullptr);
  ASSERT_NE(utc_zone.zone(), nullptr);
  EXPECT_EQ(utc_zone.zone()->name(), "UTC");
}

TEST(ZonedOccurrences, SearchErrorsAsInUtc) {
  const Pattern never = parse("TZ=Europe/Berlin 0 0 30 2 *");
  EXPECT_EQ(find_next_after(never, utc("2026-01-01T00:00:00Z")).failure, Error::Kind::TimeSearchLimitExceeded);
  const Pattern last_year = parse("TZ=Europe/Berlin 0 0 0 1 1 * 5000");
  EXPECT_EQ(utc_text(next_after(last_year, utc("4999-06-01T00:00:00Z"))), "4999-12-31T23:00:00Z");
  EXPECT_EQ(find_next_after(last_year, utc("4999-12-31T23:00:00Z")).failure,
            Error::Kind::TimeSearchLimitExceeded);
  const auto outside = std::chrono::sys_seconds{std::chrono::seconds{std::int64_t{1} << 60}};
  EXPECT_EQ(find_next_after(last_year, outside).failure, Error::Kind::InvalidDate);
}

TEST(ZonePrefix, KeywordsAndWhiteSpace) {
  for (const char* text : {"CRON_TZ=Asia/Kathmandu 0 0 * * *", "TZ=Asia/Kathmandu 0 0 * * *",
                           "cron_tz=Asia/Kathmandu 0 0 * * *", "  Tz=Asia/Kathmandu\t0 0 * * *",
                           "TZ=Asia/Kathmandu\xC2\xA0" "0 0 * * *"}) {
    SCOPED_TRACE(text);
    const Pattern pattern = parse(text);
    ASSERT_NE(pattern.zone(), nullptr);
    EXPECT_EQ(pattern.zone()->name(), "Asia/Kathmandu");
    EXPECT_EQ(utc_text(next_after(pattern, utc("2026-01-01T00:00:00Z"))), "2026-01-01T18:15:00Z");
  }
  // The pattern after the prefix is read as before: names in any case, nicknames, "+".
  EXPECT_EQ(utc_text(next_after(parse("TZ=Asia/Kathmandu 0 0 1-7 * +mon"), utc("2026-01-01T00:00:00Z"))),
            "2026-01-04T18:15:00Z");
}

TEST(ZonePrefix, Refusals) {
  const auto refusal = [](const std::string& text) {
    try {
      parse(text);
    } catch (const Error& error) {
      return std::string{error.text()};
    }
    return std::string{"accepted"};
  };
  EXPECT_EQ(refusal("CRON_TZ=Nowhere/Land 0 9 * * *"), "Unknown time zone: Nowhere/Land");
  EXPECT_EQ(refusal("TZ=asia/kathmandu 0 9 * * *"), "Unknown time zone: asia/kathmandu");
  EXPECT_EQ(refusal("TZ=Asia/../Asia/Kathmandu 0 9 * * *"), "Unknown time zone: Asia/../Asia/Kathmandu");
  EXPECT_EQ(refusal("TZ=./UTC 0 9 * * *"), "Unknown time zone: ./UTC");
  EXPECT_EQ(refusal("TZ=/etc/localtime 0 9 * * *"), "Unknown time zone: /etc/localtime");
  EXPECT_EQ(refusal("TZ=Asia 0 9 * * *"), "Unknown time zone: Asia");  // a directory
  EXPECT_EQ(refusal("TZ=tzdata.zi 0 9 * * *"), "Unknown time zone: tzdata.zi");  // not a TZif file
  EXPECT_EQ(refusal("TZ=Bad\xFFName 0 9 * * *"), "Unknown time zone: Bad\xEF\xBF\xBDName");
  EXPECT_EQ(refusal("CRON_TZ= 0 9 * * *"), "Invalid pattern: Time zone prefix must name a time zone.");
  EXPECT_EQ(refusal("TZ="), "Invalid pattern: Time zone prefix must name a time zone.");
  EXPECT_EQ(refusal("TZ=UTC"), "Invalid pattern: Time zone prefix must be followed by a pattern.");
  EXPECT_EQ(refusal("TZ=UTC \t "), "Invalid pattern: Time zone prefix must be followed by a pattern.");
  // A white-space sequence cut short by the end of the text is no white space.
  EXPECT_EQ(refusal("TZ=UTC \xE2\x80"), "Invalid pattern: Pattern must have between 5 and 7 fields.");
  EXPECT_EQ(refusal("\xE2\x80"), "Invalid pattern: Pattern must have between 5 and 7 fields.");
  // Pattern errors come before the zone is looked up.
  EXPECT_EQ(refusal("TZ=Nowhere/Land 0 9 * *"), "Invalid pattern: Pattern must have between 5 and 7 fields.");
  EXPECT_EQ(refusal("TZ=Nowhere/Land 60 * * * *"), "Component error: Number out of bounds.");
  // Texts that are no prefix keep their old refusals.
  EXPECT_EQ(refusal("XTZ=UTC 0 9 * * *"),
            "Pattern contains illegal characters: CronPattern contains illegal character 'X' in part 'XTZ=UTC'");
  EXPECT_EQ(refusal("0 9 * * * TZ=UTC"),
            "Pattern contains illegal characters: CronPattern contains illegal character 'T' in part 'TZ=UTC'");
}

}  // namespace
}  // namespace tyvo::cron
