// The POSIX TZ rule in a TZif footer ("CET-1CEST,M3.5.0,M10.5.0/3"), which
// gives a zone's offsets after its last recorded transition.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tyvo::cron {

class PosixTzRule {
 public:
  // Offsets east of UTC (the text's signs are the other way round).
  std::int32_t standard_offset() const noexcept { return standard_offset_; }
  bool has_daylight_saving() const noexcept { return daylight_.has_value(); }

  // A change of offset in a given year: the instant (seconds since 1970, UTC)
  // and the offset from then on.
  struct Change {
    std::int64_t at;
    std::int32_t offset;
  };
  // The start and the end of daylight saving time in `year`, in that order
  // (the end falls earlier in the year in southern zones). Empty without
  // daylight saving time.
  std::array<Change, 2> changes_in(int year) const noexcept;

  // nullopt for any text that is not a valid rule, including the RFC 8536
  // extensions (hours -167..167 in transition times).
  static std::optional<PosixTzRule> parse(std::string_view text);

 private:
  // When in the year a change happens: Jn (1..365, February 29 never
  // counted), n (0..365, counted) or Mm.w.d (weekday d of week w of month m,
  // week 5 being the last), at `time` seconds after local midnight.
  struct Date {
    enum class Form { Julian, ZeroBased, MonthWeekDay } form = Form::MonthWeekDay;
    int day = 0;  // Jn and n
    int month = 0, week = 0, weekday = 0;
    std::int32_t time = 2 * 3600;
  };
  struct Daylight {
    std::int32_t offset;
    Date start, end;
  };

  static std::int64_t local_seconds_of(const Date& date, int year) noexcept;

  std::int32_t standard_offset_ = 0;
  std::optional<Daylight> daylight_;
};

}  // namespace tyvo::cron
