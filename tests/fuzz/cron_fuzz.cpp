// Fuzz target for the cron parser and the next- and previous-occurrence searches.
//
// Input: the pattern text, optionally followed by a line feed and a start
// instant: either decimal seconds since 1970 (so corpus files stay readable)
// or any other bytes, folded into an instant. Without a start line the start
// is 2024-02-28T23:59:59Z, a day before a leap day.
//
// A refused pattern must be refused with a parse error of a known kind. An
// accepted one is searched from the start, and the answer is held against a
// plain reference matcher: strictly after the start, matching, and with no
// matching instant in between (checked exhaustively up to a bound of work).
// A pattern with a zone prefix (CRON_TZ=Europe/Berlin ...; the zone must exist
// in the system's database) is held against the clock-change rules stated
// instant by instant: the answer fires, and no second before it does (up to a
// bound). The backward search must retrace the forward one: the latest
// occurrence at or before the start is followed, forwards, by the same
// occurrence that follows the start. Lower case is applied to the pattern after the zone only, since zone
// names are case-sensitive.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "cron/cron.hpp"
#include "cron/zone_prefix.hpp"
#include "reference_match.hpp"
#include "zoned_reference.hpp"

namespace {

using namespace std::chrono;
namespace cron = tyvo::cron;
namespace reference = tyvo::cron::reference;

constexpr sys_seconds default_start = sys_days{2024y / February / 28} + hours{23} + minutes{59} + seconds{59};
constexpr sys_seconds calendar_begin = sys_days{year::min() / January / 1};
constexpr sys_seconds calendar_end = sys_days{year::max() / December / 31} + days{1};
constexpr sys_seconds search_begin = sys_days{year{cron::YearSet::first_year} / January / 1};
constexpr sys_seconds search_end = sys_days{year{cron::YearSet::last_year + 1} / January / 1};

// Bounds on the reference checks, so that every input stays fast.
constexpr long max_days_scanned = 800;
constexpr long max_months_scanned = 2400;
constexpr std::int64_t max_zoned_seconds_scanned = 43'200;

std::string_view pattern_text;  // reported with any failure

[[noreturn]] void fail(const char* what, sys_seconds start = {}, std::optional<sys_seconds> found = {}) {
  std::fprintf(stderr, "cron fuzz: %s\n  pattern: \"%.*s\"\n  start: %lld\n", what,
               static_cast<int>(pattern_text.size()), pattern_text.data(),
               static_cast<long long>(start.time_since_epoch().count()));
  if (found)
    std::fprintf(stderr, "  found: %lld\n", static_cast<long long>(found->time_since_epoch().count()));
  std::abort();
}

std::optional<std::int64_t> decimal(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

// Mostly instants inside the years a pattern can name, sometimes anywhere in
// the calendar, sometimes anything at all (which the search must refuse).
sys_seconds fold_start(std::string_view bytes) {
  std::uint64_t folded = 0;
  std::memcpy(&folded, bytes.data(), std::min(bytes.size(), sizeof folded));
  const std::uint64_t choice = folded % 8;
  const std::uint64_t rest = folded / 8;
  if (choice == 7) return sys_seconds{seconds{static_cast<std::int64_t>(folded)}};
  if (choice == 6) {
    const auto span = static_cast<std::uint64_t>((calendar_end - calendar_begin).count()) + 2;
    return calendar_begin - seconds{1} + seconds{static_cast<std::int64_t>(rest % span)};
  }
  const auto span = static_cast<std::uint64_t>((search_end - search_begin).count()) + 4 * 86'400;
  return search_begin - days{2} + seconds{static_cast<std::int64_t>(rest % span)};
}

reference::TimeOfDay time_of(sys_seconds instant) {
  const hh_mm_ss<seconds> clock{instant - floor<days>(instant)};
  return {static_cast<unsigned>(clock.hours().count()), static_cast<unsigned>(clock.minutes().count()),
          static_cast<unsigned>(clock.seconds().count())};
}

bool is_parse_failure(cron::Error::Kind kind) {
  using Kind = cron::Error::Kind;
  return kind == Kind::EmptyPattern || kind == Kind::InvalidPattern || kind == Kind::IllegalCharacters ||
         kind == Kind::ComponentError || kind == Kind::UnknownTimeZone;
}

// No instant in [from, until) matches, as far as the work bounds reach. When
// `until` is absent the search claimed there is no occurrence at all.
void check_nothing_matches(const cron::Fields& fields, sys_seconds from, std::optional<sys_seconds> until,
                           sys_seconds start) {
  const sys_days first_day = floor<days>(from);
  const sys_days last_day = until ? floor<days>(*until) : floor<days>(search_end);
  if (first_day < last_day && reference::date_matches(fields, year_month_day{first_day}) &&
      reference::first_time_from(fields, time_of(from))) {
    fail("an occurrence later on the start day was skipped", start, until);
  }
  long scanned = 0;
  sys_days day = first_day + days{1};
  // Day by day near the start, where a search goes wrong most easily ...
  for (; day < last_day && scanned < max_days_scanned; day += days{1}, ++scanned) {
    if (reference::date_matches(fields, year_month_day{day})) {
      fail("an occurrence on an earlier day was skipped", start, until);
    }
  }
  // ... then the allowed months of the allowed years, as far as the bound goes.
  long months = 0;
  const int first_year = static_cast<int>(year_month_day{day}.year());
  for (int y = fields.years.next(first_year); y >= 0; y = fields.years.next(y + 1)) {
    for (unsigned m = 1; m <= 12; ++m) {
      if (!reference::has_bit(fields.months, m)) continue;
      const year_month month = year{y} / std::chrono::month{m};
      if (sys_days{month / 1} >= last_day || ++months > max_months_scanned) return;
      for (unsigned d = 1; d <= reference::month_length(month); ++d) {
        const sys_days date{month / std::chrono::day{d}};
        if (date >= day && date < last_day && reference::date_matches(fields, year_month_day{date})) {
          fail("an occurrence in a later month was skipped", start, until);
        }
      }
    }
  }
}

void check_occurrence(const cron::Pattern& pattern, sys_seconds start) {
  const cron::Fields& fields = pattern.fields();
  const cron::Occurrence occurrence = cron::find_next_after(pattern, start);

  // The throwing form must say the same.
  try {
    const sys_seconds thrown_free = cron::next_after(pattern, start);
    if (!occurrence || thrown_free != occurrence.time) fail("next_after and find_next_after disagree", start);
  } catch (const cron::Error& error) {
    if (occurrence || error.kind() != *occurrence.failure)
      fail("next_after and find_next_after disagree", start);
  }

  const bool in_calendar = start >= calendar_begin && start < calendar_end;
  if (!occurrence) {
    const cron::Error::Kind kind = *occurrence.failure;
    if (kind == cron::Error::Kind::InvalidDate) {
      if (in_calendar) fail("InvalidDate for a start inside the calendar", start);
      return;
    }
    if (!in_calendar) fail("a start outside the calendar was not refused as InvalidDate", start);
    if (kind != cron::Error::Kind::TimeSearchLimitExceeded)
      fail("the search failed with an unexpected error", start);
    if (start + seconds{1} < search_end) {
      check_nothing_matches(fields, std::max(start + seconds{1}, search_begin), {}, start);
    }
    return;
  }

  const sys_seconds found = occurrence.time;
  if (!in_calendar) fail("a start outside the calendar gave an occurrence", start, found);
  if (found <= start) fail("the occurrence is not strictly after the start", start, found);
  if (found < search_begin || found >= search_end) {
    fail("the occurrence lies outside the years 1 to 5000", start, found);
  }
  const sys_days found_day = floor<days>(found);
  if (!reference::date_matches(fields, year_month_day{found_day})) {
    fail("the occurrence's date does not match", start, found);
  }
  const auto time_at_found = reference::first_time_from(fields, time_of(found));
  if (!time_at_found || *time_at_found != time_of(found)) {
    fail("the occurrence's time of day does not match", start, found);
  }
  const cron::Occurrence again = cron::find_next_after(pattern, found - seconds{1});
  if (!again || again.time != found) {
    fail("searching again from one second before gives another answer", start, found);
  }

  // Nothing matches between the start and the occurrence: on the occurrence's
  // own day no earlier time, and before that day nothing at all.
  const sys_seconds from = std::max(start + seconds{1}, search_begin);
  if (floor<days>(from) == found_day) {
    const auto first = reference::first_time_from(fields, time_of(from));
    if (!first || *first != time_of(found))
      fail("an earlier occurrence on the same day was skipped", start, found);
  } else {
    if (*reference::first_time_from(fields, {}) != time_of(found)) {
      fail("an earlier time on the occurrence's day was skipped", start, found);
    }
    check_nothing_matches(fields, from, found_day, start);
  }
}

void check_zoned_occurrence(const cron::Pattern& pattern, sys_seconds start) {
  const cron::Zone& zone = *pattern.zone();
  const cron::Occurrence occurrence = cron::find_next_after(pattern, start);
  const bool in_calendar = start >= calendar_begin && start < calendar_end;
  if (!occurrence) {
    if ((*occurrence.failure == cron::Error::Kind::InvalidDate) == in_calendar) {
      fail("a zoned search failed with the wrong error", start);
    }
    return;
  }
  const sys_seconds found = occurrence.time;
  if (!in_calendar) fail("a start outside the calendar gave an occurrence", start, found);
  if (found <= start) fail("the occurrence is not strictly after the start", start, found);
  const std::int64_t t = found.time_since_epoch().count();
  if (!reference::fires_at(pattern, zone, t)) fail("the zoned occurrence does not fire by the rules", start, found);
  const cron::Occurrence again = cron::find_next_after(pattern, found - seconds{1});
  if (!again || again.time != found) fail("searching again from one second before gives another answer", start, found);
  const std::int64_t from = start.time_since_epoch().count() + 1;
  for (std::int64_t u = from; u < t && u < from + max_zoned_seconds_scanned; ++u) {
    if (reference::fires_at(pattern, zone, u)) fail("an earlier zoned occurrence was skipped", start, found);
  }
}

// Backwards and forwards over the same instants, UTC or zoned.
void check_previous_mirrors_next(const cron::Pattern& pattern, sys_seconds start) {
  if (start < calendar_begin || start >= calendar_end) {
    const cron::Occurrence outside = cron::find_previous_before(pattern, start);
    if (outside || *outside.failure != cron::Error::Kind::InvalidDate) {
      fail("a start outside the calendar was not refused backwards", start);
    }
    return;
  }
  if (start + seconds{1} == calendar_end) return;
  const cron::Occurrence previous = cron::find_previous_before(pattern, start + seconds{1});
  const cron::Occurrence next = cron::find_next_after(pattern, start);
  if (!previous) {
    if (*previous.failure != cron::Error::Kind::TimeSearchLimitExceeded) fail("the backward search failed oddly", start);
    const cron::Occurrence first = cron::find_next_after(pattern, search_begin - days{2});
    if (first && first.time <= start) fail("the backward search missed an occurrence", start, first.time);
    return;
  }
  if (previous.time > start) fail("the previous occurrence lies after the start", start, previous.time);
  const cron::Occurrence after_previous = cron::find_next_after(pattern, previous.time);
  if (after_previous.failure != next.failure || (next && after_previous.time != next.time)) {
    fail("forwards from the previous occurrence is not where forwards from the start leads", start, previous.time);
  }
  if (next) {
    const cron::Occurrence before_next = cron::find_previous_before(pattern, next.time);
    if (!before_next || before_next.time != previous.time) {
      fail("backwards from the next occurrence is not the previous one", start, next.time);
    }
  }
}

std::string ascii_lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

// Parses `text`; nullopt with the error when refused.
std::optional<cron::Pattern> parse_or_error(std::string_view text, std::optional<cron::Error>& error) {
  try {
    return cron::parse(text);
  } catch (const cron::Error& refused) {
    error = refused;
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = input.rfind('\n');
  pattern_text = input.substr(0, line_end);
  sys_seconds start = default_start;
  if (line_end != std::string_view::npos) {
    const std::string_view start_text = input.substr(line_end + 1);
    const auto unix_seconds = decimal(start_text);
    start = unix_seconds ? sys_seconds{seconds{*unix_seconds}} : fold_start(start_text);
  }

  std::optional<cron::Error> error;
  const std::optional<cron::Pattern> pattern = parse_or_error(pattern_text, error);

  // Case never matters: names and nicknames are read in any case. Zone names
  // are the exception, so the text up to the end of the zone stays as it is.
  std::size_t kept = 0;
  try {
    const cron::ZonePrefix prefix = cron::split_zone_prefix(pattern_text);
    if (prefix.zone) kept = static_cast<std::size_t>(prefix.pattern.data() - pattern_text.data());
  } catch (const cron::Error&) {
  }
  std::optional<cron::Error> lowered_error;
  const std::string lowered = std::string{pattern_text.substr(0, kept)} + ascii_lower(pattern_text.substr(kept));
  const std::optional<cron::Pattern> lowered_pattern = parse_or_error(lowered, lowered_error);
  if (pattern.has_value() != lowered_pattern.has_value())
    fail("lower case changed whether the pattern is accepted");

  if (!pattern) {
    if (!is_parse_failure(error->kind())) fail("parsing failed with a search error");
    if (error->text().empty()) fail("a refusal without a text");
    if (lowered_error->kind() != error->kind() || lowered_error->text() != error->text()) {
      fail("lower case changed the refusal");
    }
    return 0;
  }
  if (pattern->zone() != nullptr) {
    check_zoned_occurrence(*pattern, start);
  } else {
    check_occurrence(*pattern, start);
  }
  check_previous_mirrors_next(*pattern, start);
  const cron::Occurrence upper = cron::find_next_after(*pattern, start);
  const cron::Occurrence lower = cron::find_next_after(*lowered_pattern, start);
  if (upper.failure != lower.failure || (upper && upper.time != lower.time)) {
    fail("lower case changed the occurrence", start);
  }
  return 0;
}
