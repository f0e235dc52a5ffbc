#include "bridge/runtime/timer.hpp"

#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/detail/timer_queue.hpp"

namespace tyvo::rt {

Sleep::Sleep(detail::Clock::time_point deadline) noexcept {
  entry_.deadline = deadline.time_since_epoch().count();
}

Sleep::Sleep(detail::WallTime deadline) noexcept {
  entry_.deadline = deadline.time_since_epoch().count();
  entry_.on_wall_clock = true;
}

Sleep::~Sleep() {
  // An entry queued before a fork is in the parent's timer queue, not in this process's.
  if (armed_ && !inherited(entry_.waiter.generation)) detail::TimerQueue::instance().cancel(entry_);
}

bool Sleep::due() const noexcept {
  const auto now = entry_.on_wall_clock ? detail::wall_now().time_since_epoch().count()
                                        : detail::Clock::now().time_since_epoch().count();
  return entry_.deadline <= now;
}

bool Sleep::await_ready() const noexcept {
  // Back-to-back work (a zero interval) goes on without a round trip through the timer thread,
  // within the coroutine's budget of ready steps.
  return due() && detail::take_ready_step();
}

void Sleep::await_suspend(std::coroutine_handle<> suspended) {
  if (due()) {
    // Due already (the budget is spent, or the deadline passed just now): to the back of the
    // pool's queue, without the timer thread.
    detail::wake_target().schedule(suspended);
    return;
  }
  entry_.waiter.park(suspended);
  armed_ = true;
  // From here on the coroutine may be resumed (and this object destroyed)
  // on another thread: nothing below may touch `this`.
  detail::TimerQueue::instance().add(entry_);
}

namespace detail {
std::size_t pending_timers() { return TimerQueue::instance().pending(); }
}  // namespace detail

}  // namespace tyvo::rt
