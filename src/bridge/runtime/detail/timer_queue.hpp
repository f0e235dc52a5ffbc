#pragma once

#include "bridge/runtime/detail/alarm.hpp"
#include "bridge/runtime/detail/timer_heap.hpp"
#include "bridge/runtime/detail/wake_pacing.hpp"

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tyvo::rt::detail {

// When the earliest sleeper is due, on the steady clock; not `exact` when that is only the next
// look at the wall clock for a calendar deadline further off.
struct DueAt {
  Clock::time_point at;
  bool exact;
};

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
  // mutex_ held for each.
  std::size_t wake_due();  // returns how many it woke
  std::optional<DueAt> earliest_due() const;
  Clock::time_point alarm_for(DueAt due, Clock::time_point now) const;
  void set_alarm();
  TimerHeap& heap_of(const TimerEntry& entry) noexcept { return entry.on_wall_clock ? wall_ : steady_; }

  std::mutex mutex_;
  Alarm alarm_;
  TimerHeap steady_;
  TimerHeap wall_;
  std::uint64_t next_sequence_ = 0;
  std::optional<Clock::time_point> alarm_at_;  // what alarm_ is set to
  WakePacing pacing_;
  std::atomic<bool> alarm_moved_{false};  // set by add() when it moves the alarm
};

}  // namespace tyvo::rt::detail
