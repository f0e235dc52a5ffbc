#include "cron/posix_tz.hpp"

#include <chrono>

namespace tyvo::cron {
namespace {

using namespace std::chrono;

// A cursor over the rule's text; every read checks what is left.
class Text {
 public:
  explicit Text(std::string_view text) noexcept : text_(text) {}

  bool done() const noexcept { return text_.empty(); }
  char peek() const noexcept { return text_.empty() ? '\0' : text_.front(); }
  bool eat(char c) noexcept {
    if (peek() != c) return false;
    text_.remove_prefix(1);
    return true;
  }

  // Up to `max_digits` digits, at least one.
  std::optional<int> number(std::size_t max_digits) noexcept {
    int value = 0;
    std::size_t count = 0;
    while (count < max_digits && peek() >= '0' && peek() <= '9') {
      value = value * 10 + (peek() - '0');
      text_.remove_prefix(1);
      ++count;
    }
    if (count == 0) return std::nullopt;
    return value;
  }

  // A zone abbreviation: letters, or anything but '>' between '<' and '>'.
  bool abbreviation() noexcept {
    std::size_t length = 0;
    if (eat('<')) {
      while (!done() && peek() != '>') {
        const char c = peek();
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '+' || c == '-';
        if (!allowed) return false;
        text_.remove_prefix(1);
        ++length;
      }
      return eat('>') && length > 0;
    }
    while ((peek() >= 'A' && peek() <= 'Z') || (peek() >= 'a' && peek() <= 'z')) {
      text_.remove_prefix(1);
      ++length;
    }
    return length > 0;
  }

  // [+-]hh[:mm[:ss]] in seconds, hours up to `max_hours`.
  std::optional<std::int32_t> duration(int max_hours) noexcept {
    const bool negative = eat('-');
    if (!negative) eat('+');
    const std::optional<int> h = number(3);
    if (!h || *h > max_hours) return std::nullopt;
    int m = 0, s = 0;
    if (eat(':')) {
      const std::optional<int> mm = number(2);
      if (!mm || *mm > 59) return std::nullopt;
      m = *mm;
      if (eat(':')) {
        const std::optional<int> ss = number(2);
        if (!ss || *ss > 59) return std::nullopt;
        s = *ss;
      }
    }
    const std::int32_t total = *h * 3600 + m * 60 + s;
    return negative ? -total : total;
  }

 private:
  std::string_view text_;
};

// POSIX offsets are hours 0-24; transition times may reach 167 (RFC 8536).
constexpr int max_offset_hours = 24;
constexpr int max_time_hours = 167;

bool is_leap(int y) noexcept { return year{y}.is_leap(); }

std::int64_t days_since_epoch(int y, unsigned m, unsigned d) noexcept {
  return sys_days{year{y} / month{m} / day{d}}.time_since_epoch().count();
}

}  // namespace

std::int64_t PosixTzRule::local_seconds_of(const Date& date, int y) noexcept {
  std::int64_t day_number = 0;
  switch (date.form) {
    case Date::Form::Julian:  // February 29 is never counted: J60 is always 1 March
      day_number = days_since_epoch(y, 1, 1) + date.day - 1 + (is_leap(y) && date.day >= 60 ? 1 : 0);
      break;
    case Date::Form::ZeroBased:
      day_number = days_since_epoch(y, 1, 1) + date.day;
      break;
    case Date::Form::MonthWeekDay: {
      const auto m = static_cast<unsigned>(date.month);
      const year_month_weekday_last last_of{year{y}, month{m}, weekday_last{weekday{static_cast<unsigned>(date.weekday)}}};
      const year_month_weekday nth{year{y}, month{m}, weekday_indexed{weekday{static_cast<unsigned>(date.weekday)},
                                                                      static_cast<unsigned>(date.week)}};
      day_number = (date.week == 5 || !nth.ok() ? sys_days{last_of} : sys_days{nth}).time_since_epoch().count();
      break;
    }
  }
  return day_number * 86'400 + date.time;
}

std::array<PosixTzRule::Change, 2> PosixTzRule::changes_in(int y) const noexcept {
  if (!daylight_) return {};
  // The start is written in standard time, the end in daylight saving time.
  return {{{local_seconds_of(daylight_->start, y) - standard_offset_, daylight_->offset},
           {local_seconds_of(daylight_->end, y) - daylight_->offset, standard_offset_}}};
}

std::optional<PosixTzRule> PosixTzRule::parse(std::string_view source) {
  Text text(source);
  PosixTzRule rule;
  if (!text.abbreviation()) return std::nullopt;
  if (text.done()) return rule;  // no offset: UTC, as zoneinfo reads it
  const std::optional<std::int32_t> standard = text.duration(max_offset_hours);
  if (!standard) return std::nullopt;
  rule.standard_offset_ = -*standard;
  if (text.done()) return rule;

  if (!text.abbreviation()) return std::nullopt;
  Daylight daylight{rule.standard_offset_ + 3600, {}, {}};
  if (!text.done() && text.peek() != ',') {
    const std::optional<std::int32_t> offset = text.duration(max_offset_hours);
    if (!offset) return std::nullopt;
    daylight.offset = -*offset;
  }
  // A rule with daylight saving time must say when it starts and ends.
  for (Date* date : {&daylight.start, &daylight.end}) {
    if (!text.eat(',')) return std::nullopt;
    if (text.eat('M')) {
      const auto m = text.number(2);
      if (!m || *m < 1 || *m > 12 || !text.eat('.')) return std::nullopt;
      const auto w = text.number(1);
      if (!w || *w < 1 || *w > 5 || !text.eat('.')) return std::nullopt;
      const auto d = text.number(1);
      if (!d || *d > 6) return std::nullopt;
      *date = Date{Date::Form::MonthWeekDay, 0, *m, *w, *d, 2 * 3600};
    } else {
      const bool julian = text.eat('J');
      const auto n = text.number(3);
      if (!n || (julian ? *n < 1 || *n > 365 : *n > 365)) return std::nullopt;
      *date = Date{julian ? Date::Form::Julian : Date::Form::ZeroBased, *n, 0, 0, 0, 2 * 3600};
    }
    if (text.eat('/')) {
      const std::optional<std::int32_t> time = text.duration(max_time_hours);
      if (!time) return std::nullopt;
      date->time = *time;
    }
  }
  if (!text.done()) return std::nullopt;
  rule.daylight_ = daylight;
  return rule;
}

}  // namespace tyvo::cron
