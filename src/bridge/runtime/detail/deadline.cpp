#include "bridge/runtime/detail/deadline.hpp"

#include <type_traits>

namespace tyvo::rt::detail {
namespace {

using std::chrono::nanoseconds;

static_assert(std::is_same_v<Clock::duration, nanoseconds>, "the timer keeps deadlines in nanoseconds");

template <class TimePoint>
TimePoint saturated_after(TimePoint now, nanoseconds delay) noexcept {
  constexpr auto far = std::chrono::duration_cast<nanoseconds>(far_future);
  if (delay <= nanoseconds::zero()) return now;
  // Before the epoch (a wall clock set back that far) every delay fits.
  const nanoseconds room =
      now.time_since_epoch() >= nanoseconds::zero() ? TimePoint::max() - now : nanoseconds::max();
  if (delay <= room) return now + delay;
  return now > TimePoint::max() - far ? TimePoint::max() : now + far;
}

}  // namespace

Clock::time_point deadline_after(Clock::time_point now, nanoseconds delay) noexcept {
  return saturated_after(now, delay);
}

WallTime wall_deadline_after(WallTime now, nanoseconds delay) noexcept {
  return saturated_after(now, delay);
}

}  // namespace tyvo::rt::detail
