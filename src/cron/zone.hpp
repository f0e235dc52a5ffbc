// A time zone as the cron search needs it: the UTC offset at every instant,
// as a sequence of periods of constant offset.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cron/tzif.hpp"

namespace tyvo::cron {

class Zone {
 public:
  static constexpr std::int64_t unbounded_past = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t unbounded_future = std::numeric_limits<std::int64_t>::max();

  // From a TZif file's data: its transitions, then its footer rule, worked out
  // ahead to the end of the year 5001 (past every instant a pattern can name).
  // nullopt when the footer is not a valid rule.
  static std::optional<Zone> from_tzif(std::string name, const TzifData& data);

  const std::string& name() const noexcept { return name_; }

  // Period i runs from change i-1 (or the unbounded past) to change i (or the
  // unbounded future). Consecutive periods always differ in offset.
  std::size_t period_count() const noexcept { return change_at_.size() + 1; }
  std::size_t period_index(std::int64_t instant) const noexcept;
  std::int64_t period_begin(std::size_t i) const noexcept {
    return i == 0 ? unbounded_past : change_at_[i - 1];
  }
  std::int64_t period_end(std::size_t i) const noexcept {
    return i == change_at_.size() ? unbounded_future : change_at_[i];
  }
  std::int32_t period_offset(std::size_t i) const noexcept { return i == 0 ? initial_offset_ : offset_after_[i - 1]; }

  std::int32_t offset_at(std::int64_t instant) const noexcept { return period_offset(period_index(instant)); }

  // The largest offset of any period: a period ending before t - max_offset()
  // shows only local times before t.
  std::int32_t max_offset() const noexcept { return max_offset_; }
  // The smallest: a period beginning after t - min_offset() shows only local
  // times after t.
  std::int32_t min_offset() const noexcept { return min_offset_; }

 private:
  Zone() = default;
  void add_change(std::int64_t at, std::int32_t offset);
  void note_offset_bounds() noexcept;

  std::string name_;
  std::int32_t initial_offset_ = 0;
  std::int32_t max_offset_ = 0;
  std::int32_t min_offset_ = 0;
  std::vector<std::int64_t> change_at_;      // strictly ascending
  std::vector<std::int32_t> offset_after_;  // the offset from change_at_[i] on
};

}  // namespace tyvo::cron
