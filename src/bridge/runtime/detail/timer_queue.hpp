#pragma once

#include "bridge/runtime/detail/alarm.hpp"
#include "bridge/runtime/detail/timer_heap.hpp"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tyvo::rt::detail {

// The one timer thread: sleeps on its alarm until the earliest deadline, then wakes every
// entry that is due, on either clock, together. No polling and no tick: with nothing due it does
// not run at all, and a deadline is met to the nanosecond the kernel wakes it at. Created on
// first use and never destroyed, like the pool.
class TimerQueue {
 public:
  static TimerQueue& instance();

  // Queues `entry` (deadline, clock and waiter already set).
  void add(TimerEntry& entry);

  // Removes `entry` if it has not fired yet. Once this returns, the timer
  // thread no longer touches it.
  void cancel(TimerEntry& entry);

  std::size_t pending();

 private:
  TimerQueue() = default;
  void run();
  void wake_due();   // mutex_ held
  void set_alarm();  // mutex_ held
  TimerHeap& heap_of(const TimerEntry& entry) noexcept { return entry.on_wall_clock ? wall_ : steady_; }

  std::mutex mutex_;
  Alarm alarm_;
  TimerHeap steady_;
  TimerHeap wall_;
  std::uint64_t next_sequence_ = 0;
  std::optional<Clock::time_point> alarm_at_;  // what alarm_ is set to
};

}  // namespace tyvo::rt::detail
