#include "bridge/runtime/detail/deadline.hpp"

namespace tyvo::rt::detail {
namespace {

using std::chrono::duration_cast;
using std::chrono::nanoseconds;

static_assert(std::is_same_v<Clock::duration, nanoseconds>,
              "tick arithmetic assumes a nanosecond steady clock");

// The last instant whose tick can still be turned back into a time point.
constexpr Clock::time_point last_roundable{Clock::duration::max() - duration_cast<nanoseconds>(TickLength(1))};

// now + far_future, kept within what the tick arithmetic can represent.
Clock::time_point far_from(Clock::time_point now) noexcept {
  constexpr auto far = duration_cast<nanoseconds>(far_future);
  return now > last_roundable - far ? last_roundable : now + far;
}

Tick ceil_tick(Clock::time_point deadline) noexcept {
  return std::chrono::ceil<TickLength>(deadline.time_since_epoch()).count();
}

}  // namespace

Clock::time_point deadline_after(Clock::time_point now, nanoseconds delay) noexcept {
  if (delay <= nanoseconds::zero()) return now;
  if (delay > Clock::time_point::max() - now) return far_from(now);
  return now + delay;
}

Tick tick_not_before(Clock::time_point deadline, Clock::time_point now) noexcept {
  if (deadline > last_roundable) deadline = far_from(now);
  return ceil_tick(deadline);
}

Clock::time_point tick_start(Tick tick) noexcept {
  return Clock::time_point(duration_cast<nanoseconds>(TickLength(tick)));
}

}  // namespace tyvo::rt::detail
