#include "cron/zone.hpp"

#include <algorithm>
#include <chrono>

#include "cron/posix_tz.hpp"

namespace tyvo::cron {
namespace {

using namespace std::chrono;

// Instants outside these years only decide the offset in effect at their
// edge: searches stay within the years 1 to 5000 of local time, and keeping
// every instant far from the int64 range keeps instant + offset exact.
constexpr int first_kept_year = 0;
constexpr int last_rule_year = 5001;
constexpr std::int64_t kept_begin = sys_seconds{sys_days{year{first_kept_year} / January / 1}}.time_since_epoch().count();
constexpr std::int64_t kept_end = sys_seconds{sys_days{year{last_rule_year + 1} / January / 1}}.time_since_epoch().count();

int utc_year_of(std::int64_t instant) noexcept {
  return static_cast<int>(year_month_day{floor<days>(sys_seconds{seconds{instant}})}.year());
}

// The rule's changes from `first_year` on, in the order they happen; changes
// at the same instant keep the order of the years that made them, so the
// later year's wins.
std::vector<PosixTzRule::Change> rule_changes(const PosixTzRule& rule, int first_year) {
  std::vector<PosixTzRule::Change> changes;
  if (!rule.has_daylight_saving()) return changes;
  for (int y = first_year; y <= last_rule_year; ++y) {
    for (const PosixTzRule::Change& change : rule.changes_in(y)) changes.push_back(change);
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const auto& a, const auto& b) { return a.at < b.at; });
  return changes;
}

// The rule's offset at `instant`: that of its last change at or before it.
std::int32_t rule_offset_at(const PosixTzRule& rule, const std::vector<PosixTzRule::Change>& changes,
                            std::int64_t instant) {
  const auto after = std::upper_bound(changes.begin(), changes.end(), instant,
                                      [](std::int64_t t, const auto& change) { return t < change.at; });
  return after == changes.begin() ? rule.standard_offset() : std::prev(after)->offset;
}

}  // namespace

void Zone::add_change(std::int64_t at, std::int32_t offset) {
  if (at < kept_begin) {
    initial_offset_ = offset;
    return;
  }
  if (at >= kept_end) return;
  if (!change_at_.empty() && change_at_.back() == at) {
    // Two changes at one instant: the later one wins, and it may undo the change.
    offset_after_.back() = offset;
    if (offset == period_offset(change_at_.size() - 1)) {
      change_at_.pop_back();
      offset_after_.pop_back();
    }
    return;
  }
  if (offset == period_offset(change_at_.size())) return;  // not a change of offset
  change_at_.push_back(at);
  offset_after_.push_back(offset);
}

std::optional<Zone> Zone::from_tzif(std::string name, const TzifData& data) {
  std::optional<PosixTzRule> rule;
  if (!data.footer.empty()) {
    rule = PosixTzRule::parse(data.footer);
    if (!rule) return std::nullopt;
  }
  Zone zone;
  zone.name_ = std::move(name);

  // Before the first transition, the first standard-time type (as zoneinfo
  // reads it; RFC 8536 would take type 0, which is that type in practice).
  const auto standard = std::find_if(data.types.begin(), data.types.end(), [](const auto& t) { return !t.is_dst; });
  zone.initial_offset_ = standard != data.types.end() ? standard->utc_offset : data.types.front().utc_offset;
  for (const TzifData::Transition& transition : data.transitions) {
    zone.add_change(transition.at, data.types[transition.type].utc_offset);
  }
  if (!rule) {
    // Without a rule the last transition's type stays, or with no
    // transitions at all the last type (zoneinfo's reading).
    if (data.transitions.empty()) zone.initial_offset_ = data.types.back().utc_offset;
    zone.note_offset_bounds();
    return zone;
  }

  // The rule governs every instant after the last transition (or all of them).
  const bool has_transitions = !data.transitions.empty();
  const std::int64_t last = has_transitions ? data.transitions.back().at : kept_begin;
  const int first_year = std::clamp(utc_year_of(std::clamp(last, kept_begin, kept_end)) - 1, first_kept_year - 1,
                                    last_rule_year);
  const std::vector<PosixTzRule::Change> changes = rule_changes(*rule, first_year);
  if (!has_transitions) {
    zone.initial_offset_ = rule_offset_at(*rule, changes, kept_begin);
  } else {
    zone.add_change(last + 1, rule_offset_at(*rule, changes, last + 1));
  }
  const std::int64_t rule_from = has_transitions ? last + 1 : kept_begin;
  for (const PosixTzRule::Change& change : changes) {
    if (change.at > rule_from) zone.add_change(change.at, change.offset);
  }
  zone.note_offset_bounds();
  return zone;
}

void Zone::note_offset_bounds() noexcept {
  max_offset_ = min_offset_ = initial_offset_;
  for (const std::int32_t offset : offset_after_) {
    max_offset_ = std::max(max_offset_, offset);
    min_offset_ = std::min(min_offset_, offset);
  }
}

std::size_t Zone::period_index(std::int64_t instant) const noexcept {
  return static_cast<std::size_t>(std::upper_bound(change_at_.begin(), change_at_.end(), instant) -
                                  change_at_.begin());
}

}  // namespace tyvo::cron
