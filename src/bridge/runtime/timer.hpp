#pragma once

#include "bridge/runtime/detail/deadline.hpp"
#include "bridge/runtime/detail/timer_heap.hpp"

#include <chrono>
#include <coroutine>

namespace tyvo::rt {

// Awaitable sleep until a deadline on the steady clock, or on the wall clock for a calendar
// time. It never ends before its deadline and ends as soon after it as the kernel wakes the timer
// thread; a wall-clock deadline is met by the wall clock's own reading even when that clock is
// stepped, slewed or the machine is suspended meanwhile. A deadline already past ends the sleep
// at once, without suspending, within the coroutine's budget of ready steps (detail/budget.hpp). A sleeping coroutine costs one timer entry (inside this object)
// and no CPU. Destroying it while suspended removes the entry.
class [[nodiscard]] Sleep {
 public:
  explicit Sleep(detail::Clock::time_point deadline) noexcept;
  explicit Sleep(detail::WallTime deadline) noexcept;
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep();

  bool await_ready() const noexcept;
  void await_suspend(std::coroutine_handle<> suspended);
  void await_resume() noexcept { armed_ = false; }

 private:
  bool due() const noexcept;

  detail::TimerEntry entry_;
  bool armed_ = false;  // touched only by the sleeping coroutine's own steps
};

// Sleeps until `deadline` on the steady clock.
inline Sleep sleep_until(detail::Clock::time_point deadline) noexcept { return Sleep(deadline); }

// Sleeps until the wall clock reads `deadline` or later.
inline Sleep sleep_until_wall(detail::WallTime deadline) noexcept { return Sleep(deadline); }

// Sleeps for `delay` from now; zero or negative does not wait. A delay that would overflow the
// clock saturates to about 30 years.
inline Sleep sleep_for(std::chrono::nanoseconds delay) noexcept {
  return Sleep(detail::deadline_after(detail::Clock::now(), delay));
}

namespace detail {
// Entries waiting in the timer queue, for tests and diagnostics.
std::size_t pending_timers();
}  // namespace detail

}  // namespace tyvo::rt
