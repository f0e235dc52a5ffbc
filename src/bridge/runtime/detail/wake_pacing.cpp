#include "bridge/runtime/detail/wake_pacing.hpp"

#include <algorithm>

namespace tyvo::rt::detail {

Clock::time_point WakePacing::alarm_for(Clock::time_point due, Clock::time_point now) const noexcept {
  if (dense(now)) {
    const auto since_epoch = due.time_since_epoch();
    return Clock::time_point((since_epoch + grid - Clock::duration(1)) / grid * grid);
  }
  // Early only when the spin will be affordable then; an alarm already past goes off at once.
  const Clock::time_point early = due - spin_lead;
  if (due - now > spin_lead && quiet_at(early) && allowance_at(early) >= spin_lead) return early;
  return due;
}

bool WakePacing::spins_to(Clock::time_point due, Clock::time_point now) const noexcept {
  if (due <= now || dense(now)) return false;
  const Clock::duration left = due - now;
  return left <= spin_lead && quiet_at(now) && allowance_at(now) >= left;
}

void WakePacing::spun(Clock::time_point from, Clock::time_point to) noexcept {
  const Clock::duration had = allowance_at(to);
  allowance_ = had - std::min(had, to - from);
  allowance_since_ = to;
}

void WakePacing::woke(Clock::time_point now) noexcept {
  const Clock::duration gap = std::clamp<Clock::duration>(now - last_wake_, Clock::duration::zero(), pause);
  mean_gap_ = mean_gap_ - mean_gap_ / 8 + gap / 8;
  if (mean_gap_ < grid) dense_ = true;
  if (mean_gap_ > 4 * grid || gap >= pause) dense_ = false;
  last_wake_ = now;
}

bool WakePacing::dense(Clock::time_point now) const noexcept { return dense_ && now - last_wake_ < pause; }

bool WakePacing::quiet_at(Clock::time_point now) const noexcept { return now - last_wake_ >= quiet_gap; }

Clock::duration WakePacing::allowance_at(Clock::time_point now) const noexcept {
  const Clock::duration earned = std::max(Clock::duration::zero(), now - allowance_since_) / allowance_share;
  return std::min(allowance_cap, allowance_ + earned);
}

}  // namespace tyvo::rt::detail
