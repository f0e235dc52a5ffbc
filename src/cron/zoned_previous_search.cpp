// The latest occurrence before an instant in a time zone: the forward zoned
// search read backwards, over the same set of instants. In each period of
// constant offset, walking down from the latest instant allowed:
//
// - a matching local time the period shows fires, unless an earlier period
//   showed it first (clocks set back) and the hour field is not exactly "*";
//   the local times such a period showed are passed over together;
// - last of all the period's first instant, where clocks set forward ended a
//   gap in which some local time matched (again unless the hour is "*").
//
// Then the period before, from its last instant. Periods that begin after
// the latest matching local time less the smallest offset show only later
// local times and are passed over in one step.

#include <optional>

#include "cron/cron.hpp"
#include "cron/wall_clock_search.hpp"
#include "cron/zone_periods.hpp"

namespace tyvo::cron {
namespace {

using namespace std::chrono;
using namespace zone_periods;

// The latest matching wall-clock time at or before a given one, with the last
// answer kept: nothing in (answer, asked] matches.
class WallClockMatchesBefore {
 public:
  explicit WallClockMatchesBefore(const Pattern& pattern) noexcept : pattern_(pattern) {}

  // nullopt when nothing matches from the year 1 up to `to`.
  std::optional<std::int64_t> at_or_before(std::int64_t to) noexcept {
    to = std::min(to, search_end - 1);
    const bool known = to <= asked_ && (!answered_ || answer_ <= to);
    if (!known) {
      asked_ = to;
      answered_ = false;
      if (to >= search_begin) {
        const Occurrence found = find_previous_wall_clock(pattern_, sys_seconds{seconds{to + 1}});
        answered_ = static_cast<bool>(found);
        answer_ = seconds_since_epoch(found.time);
      }
    }
    return answered_ ? std::optional<std::int64_t>{answer_} : std::nullopt;
  }

 private:
  const Pattern& pattern_;
  // Nothing asked yet: no `to` lies before the beginning of the calendar.
  std::int64_t asked_ = calendar_begin - 1;
  bool answered_ = false;
  std::int64_t answer_ = 0;
};

// Whether period i shows any local time after `wall` (its local end lies beyond it).
bool shows_after(const Zone& zone, std::size_t i, std::int64_t wall) noexcept {
  const std::int64_t end = zone.period_end(i);
  return end == Zone::unbounded_future || end + zone.period_offset(i) - 1 > wall;
}

Occurrence find_previous_zoned(const Pattern& pattern, const Zone& zone, sys_seconds end) noexcept {
  const std::int64_t end_seconds = seconds_since_epoch(end);
  if (end_seconds < calendar_begin || end_seconds >= calendar_end) return {.failure = Error::Kind::InvalidDate};
  constexpr Occurrence none{.failure = Error::Kind::TimeSearchLimitExceeded};
  const bool hour_unrestricted = pattern.fields().hour_unrestricted;
  WallClockMatchesBefore matches(pattern);

  std::int64_t to = end_seconds - 1;  // the latest instant the answer may be
  std::size_t i = zone.period_index(to);
  while (true) {
    const std::int64_t begin = zone.period_begin(i);
    const std::int32_t offset = zone.period_offset(i);
    const std::int64_t top = to + offset;  // the latest local time asked about in this period
    const std::optional<std::int64_t> latest = matches.at_or_before(top);

    std::optional<std::int64_t> wall = latest;
    while (wall && (begin == Zone::unbounded_past || *wall >= begin + offset)) {
      const std::optional<std::size_t> earlier =
          hour_unrestricted ? std::nullopt : shown_before_in(zone, i, *wall);
      if (!earlier) return {.time = sys_seconds{seconds{*wall - offset}}, .failure = {}};
      // Fired at its first pass: skip every local time that earlier period showed.
      const std::int64_t earlier_begin = zone.period_begin(*earlier);
      if (earlier_begin == Zone::unbounded_past) break;
      wall = matches.at_or_before(earlier_begin + zone.period_offset(*earlier) - 1);
    }
    if (i == 0) return none;

    const std::int32_t before = zone.period_offset(i - 1);
    if (!hour_unrestricted && before < offset) {  // the local times [begin + before, begin + offset) never happen
      const std::optional<std::int64_t> skipped = matches.at_or_before(begin + offset - 1);
      if (skipped && *skipped >= begin + before) return {.time = sys_seconds{seconds{begin}}, .failure = {}};
    }

    // The period before may show local times later than any asked about here
    // (clocks set back at `begin`): it is always looked at. Beyond it, only
    // periods that may show `latest` or earlier local times matter.
    if (!shows_after(zone, i - 1, top)) {
      if (!latest) return none;
      const std::size_t far = zone.period_index(*latest - zone.min_offset());
      if (far < i - 1) {
        i = far;
        to = zone.period_end(i) - 1;
        continue;
      }
    }
    --i;
    to = begin - 1;
  }
}

}  // namespace

Occurrence find_previous_before(const Pattern& pattern, sys_seconds end) noexcept {
  if (const Zone* zone = pattern.zone()) return find_previous_zoned(pattern, *zone, end);
  return find_previous_wall_clock(pattern, end);
}

}  // namespace tyvo::cron
