#pragma once

#include "bridge/runtime/detail/deadline.hpp"
#include "bridge/runtime/detail/timer_heap.hpp"

#include <chrono>
#include <coroutine>

namespace tyvo::rt {

// Awaitable monotonic sleep on the steady clock, at the timer's tick (1 ms):
// the deadline is rounded up to the next tick and never fires
// early. Even a deadline already past waits for the timer's next tick. A
// sleeping coroutine costs one timer entry (inside this object) and no CPU.
// Destroying it while suspended removes the entry.
class [[nodiscard]] Sleep {
 public:
  explicit Sleep(std::chrono::steady_clock::time_point deadline) noexcept : deadline_(deadline) {}
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep();

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> suspended);
  void await_resume() noexcept { armed_ = false; }

 private:
  std::chrono::steady_clock::time_point deadline_;
  detail::TimerEntry entry_;
  bool armed_ = false;  // touched only by the sleeping coroutine's own steps
};

// Sleeps until `deadline`. One that cannot be rounded to a tick
// counts as about 30 years from now.
inline Sleep sleep_until(std::chrono::steady_clock::time_point deadline) noexcept { return Sleep(deadline); }

// Sleeps for `delay` from now; zero or negative waits for the next tick. A
// delay that would overflow the clock saturates to about 30 years.
inline Sleep sleep_for(std::chrono::nanoseconds delay) noexcept {
  const auto now = std::chrono::steady_clock::now();
  return Sleep(detail::deadline_after(now, delay));
}

namespace detail {
// Entries waiting in the timer queue, for tests and diagnostics.
std::size_t pending_timers();
}  // namespace detail

}  // namespace tyvo::rt
