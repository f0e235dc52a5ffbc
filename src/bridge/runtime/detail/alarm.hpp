#pragma once

#include "bridge/runtime/detail/deadline.hpp"

#include <optional>

#ifndef __linux__
#include <condition_variable>
#include <mutex>
#endif

namespace tyvo::rt::detail {

// What the timer thread sleeps on: an alarm set to an instant of the steady clock, which also
// goes off when the wall clock is set (stepped by hand or by NTP, or the machine resumed from
// suspend), so that calendar deadlines can be looked at again.
//
// On Linux the wait is on timerfds, which name their clock: CLOCK_MONOTONIC for the alarm and
// CLOCK_REALTIME with TFD_TIMER_CANCEL_ON_SET for the steps. A condition variable's timed wait
// would be on the wall clock with a C library older than glibc 2.30 or with libc++, so a stepped
// clock would shift every sleeper.
class Alarm {
 public:
  Alarm();  // throws std::system_error when the kernel gives no timer
  Alarm(const Alarm&) = delete;
  Alarm& operator=(const Alarm&) = delete;

  // Sets the alarm to `at` (an instant already past goes off at once), or clears it. Any thread.
  void set(std::optional<Clock::time_point> at);

  // Blocks until the alarm goes off or the wall clock is set; may also return early. The timer
  // thread's only.
  void wait();

 private:
#ifdef __linux__
  void watch_wall_clock();
  int alarm_fd_ = -1;
  int wall_set_fd_ = -1;  // -1 when the kernel cannot report clock steps
#else
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> at_;
  bool was_set_ = false;
#endif
};

}  // namespace tyvo::rt::detail
