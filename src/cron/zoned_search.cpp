// The next occurrence in a time zone. The fields are matched against local
// wall-clock time, and the zone maps local time onto instants period by
// period (a period being a span of constant UTC offset):
//
// - Inside a period local time runs with UTC, so the first match there is the
//   first wall-clock match at or after the period's local time, if that lies
//   before the period's local end.
// - Clocks set back repeat local times: a match in a later period whose local
//   time an earlier period already showed fires only at its first pass,
//   unless the hour field is exactly "*".
// - Clocks set forward skip local times: if one of the skipped times matches,
//   the pattern fires once at the instant the gap ends (the new period's
//   first instant), unless the hour field is exactly "*", which skips them.
//
// Which wall-clock times match does not depend on the zone, so the answer of
// one wall-clock search also answers every later question that falls before
// it, and the periods showing only earlier local times can be passed over.

#include <optional>

#include "cron/cron.hpp"
#include "cron/wall_clock_search.hpp"
#include "cron/zone_periods.hpp"

namespace tyvo::cron {
namespace {

using namespace std::chrono;

using namespace zone_periods;

// The earliest matching wall-clock time at or after a given one, with the
// last answer kept: nothing in [asked, answer) matches.
class WallClockMatches {
 public:
  explicit WallClockMatches(const Pattern& pattern) noexcept : pattern_(pattern) {}

  // nullopt when nothing matches from `from` to the end of the year 5000.
  std::optional<std::int64_t> at_or_after(std::int64_t from) noexcept {
    from = std::max(from, search_begin);
    const bool known = asked_ <= from && (!answered_ || from <= answer_);
    if (!known) {
      asked_ = from;
      answered_ = false;
      if (from < search_end) {
        const Occurrence found = find_next_wall_clock(pattern_, sys_seconds{seconds{from - 1}});
        answered_ = static_cast<bool>(found);
        answer_ = seconds_since_epoch(found.time);
      }
    }
    return answered_ ? std::optional<std::int64_t>{answer_} : std::nullopt;
  }

 private:
  const Pattern& pattern_;
  // Nothing asked yet: no `from` lies at or after the end of the calendar.
  std::int64_t asked_ = calendar_end;
  bool answered_ = false;
  std::int64_t answer_ = 0;
};

// If a period shortly before period i already showed local time `wall`, the
// local time at which that period ended.
std::optional<std::int64_t> shown_before_until(const Zone& zone, std::size_t i, std::int64_t wall) noexcept {
  const std::optional<std::size_t> earlier = shown_before_in(zone, i, wall);
  if (!earlier) return std::nullopt;
  return zone.period_end(*earlier) + zone.period_offset(*earlier);
}

Occurrence find_next_zoned(const Pattern& pattern, const Zone& zone, sys_seconds start) noexcept {
  const std::int64_t start_seconds = seconds_since_epoch(start);
  if (start_seconds < calendar_begin || start_seconds >= calendar_end) return {.failure = Error::Kind::InvalidDate};
  constexpr Occurrence none{.failure = Error::Kind::TimeSearchLimitExceeded};
  const bool hour_unrestricted = pattern.fields().hour_unrestricted;
  WallClockMatches matches(pattern);

  std::int64_t from = start_seconds + 1;  // the earliest instant the answer may be
  std::size_t i = zone.period_index(from);
  while (true) {
    const std::int64_t begin = zone.period_begin(i);
    const std::int64_t end = zone.period_end(i);
    const std::int32_t offset = zone.period_offset(i);

    if (!hour_unrestricted && from == begin && i > 0) {
      const std::int32_t before = zone.period_offset(i - 1);
      if (before < offset) {  // the local times [begin + before, begin + offset) never happen
        const std::optional<std::int64_t> skipped = matches.at_or_after(begin + before);
        if (!skipped) return none;
        if (*skipped < begin + offset) return {.time = sys_seconds{seconds{begin}}, .failure = {}};
      }
    }

    const std::optional<std::int64_t> wall = matches.at_or_after(from + offset);
    if (!wall) return none;
    if (end == Zone::unbounded_future || *wall < end + offset) {
      const std::optional<std::int64_t> repeated =
          hour_unrestricted ? std::nullopt : shown_before_until(zone, i, *wall);
      if (!repeated) return {.time = sys_seconds{seconds{*wall - offset}}, .failure = {}};
      // Fired at the first pass: go on from where this period's clock passes
      // the repeated times.
      from = *repeated - offset;
      if (end != Zone::unbounded_future && from >= end) {
        from = end;  // entering the next period at its start, where a gap may end
        ++i;
      }
      continue;
    }
    // No match before *wall: every period that ends before *wall - max_offset
    // shows only earlier local times, so the walk goes on from the first
    // period that may not (a far-off match costs one lookup, not one step per
    // clock change on the way).
    const std::size_t far = zone.period_index(*wall - zone.max_offset());
    if (far > i + 1) {
      i = far;
      from = zone.period_begin(i);
    } else {
      from = end;
      ++i;
    }
  }
}

}  // namespace

Occurrence find_next_after(const Pattern& pattern, sys_seconds start) noexcept {
  if (const Zone* zone = pattern.zone()) return find_next_zoned(pattern, *zone, start);
  return find_next_wall_clock(pattern, start);
}

sys_seconds next_after(const Pattern& pattern, sys_seconds start) {
  const Occurrence occurrence = find_next_after(pattern, start);
  if (!occurrence) throw Error(*occurrence.failure);
  return occurrence.time;
}

}  // namespace tyvo::cron
