#include "bridge/runtime/detail/timer_queue.hpp"

#include "bridge/runtime/detail/deadline.hpp"
#include "bridge/runtime/detail/fork_safe_singleton.hpp"
#include "bridge/runtime/detail/pool.hpp"

#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace tyvo::rt::detail {

TimerQueue& TimerQueue::instance() {
  static ForkSafeSingleton<TimerQueue> queue([] {
    // Leaked on purpose: the detached thread uses it until the process ends.
    auto* created = new TimerQueue();
    std::thread(&TimerQueue::run, created).detach();
    return created;
  });
  return queue.get();
}

void TimerQueue::add(TimerEntry& entry) {
  bool now_earliest;
  {
    std::lock_guard lock(mutex_);
    entry.sequence = next_sequence_++;
    heap_.push(&entry);
    now_earliest = heap_.top() == &entry;
  }
  if (now_earliest) earliest_changed_.notify_one();
}

void TimerQueue::cancel(TimerEntry& entry) {
  // A stale earliest tick only costs the timer thread one early wake-up.
  std::lock_guard lock(mutex_);
  if (entry.queued()) heap_.remove(&entry);
}

std::size_t TimerQueue::pending() {
  std::lock_guard lock(mutex_);
  return heap_.size();
}

void TimerQueue::run() {
  mark_runtime_thread();
#ifdef __linux__
  // The kernel may otherwise defer our timed waits by its default 50 us
  // slack, which would come straight out of every sleeper's lateness.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
  std::unique_lock lock(mutex_);
  for (;;) {
    if (heap_.empty()) {
      earliest_changed_.wait(lock);
      continue;
    }
    // Waits can end early (spuriously, or because an earlier entry came
    // in): the loop re-reads the clock before firing anything.
    const Clock::time_point due = tick_start(heap_.top()->tick);
    const Clock::time_point now = Clock::now();
    if (now < due) {
      earliest_changed_.wait_until(lock, due);
      continue;
    }
    // Waking only queues the coroutine (see Context::schedule), so it is
    // done under the lock that cancel() takes: a cancelled sleeper is
    // either still in the heap or already fully woken.
    Pool::Gathering together;
    while (!heap_.empty() && tick_start(heap_.top()->tick) <= now) heap_.pop()->waiter.wake();
  }
}

}  // namespace tyvo::rt::detail
