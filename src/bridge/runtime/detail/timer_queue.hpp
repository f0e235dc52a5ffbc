#pragma once

#include "bridge/runtime/detail/timer_heap.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tyvo::rt::detail {

// The one timer thread: sleeps on a condition variable until the earliest
// entry's tick begins, then wakes every entry that is due. No polling: with
// nothing due it does not run at all. Created on first use and never
// destroyed, like the pool.
class TimerQueue {
 public:
  static TimerQueue& instance();

  // Queues `entry` (tick and waiter already set).
  void add(TimerEntry& entry);

  // Removes `entry` if it has not fired yet. Once this returns, the timer
  // thread no longer touches it.
  void cancel(TimerEntry& entry);

  std::size_t pending();

 private:
  TimerQueue() = default;
  void run();

  std::mutex mutex_;
  std::condition_variable earliest_changed_;
  TimerHeap heap_;
  std::uint64_t next_sequence_ = 0;
};

}  // namespace tyvo::rt::detail
