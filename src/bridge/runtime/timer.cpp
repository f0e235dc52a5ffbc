#include "bridge/runtime/timer.hpp"

#include "bridge/runtime/detail/timer_queue.hpp"

namespace tyvo::rt {

Sleep::~Sleep() {
  // An entry queued before a fork is in the parent's timer queue, not in this process's.
  if (armed_ && !inherited(entry_.waiter.generation)) detail::TimerQueue::instance().cancel(entry_);
}

void Sleep::await_suspend(std::coroutine_handle<> suspended) {
  entry_.tick = detail::tick_not_before(deadline_, detail::Clock::now());
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
