#pragma once

#include "bridge/runtime/detail/deadline.hpp"

namespace tyvo::rt::detail {

// When the timer thread lets its alarm go off, and whether it spins through the last stretch.
//
// Two costs pull against each other. A thread woken on an idle core is late by the core's own
// wake-up (tens of microseconds, more on a virtual machine); and every wake-up that hands runs to
// the loop costs a handful of context switches, however many runs it carries.
//
// - A wake-up after a quiet spell (the common case: jobs every second or minute) is met
//   precisely: the alarm goes off a little early and the thread spins to the deadline. Spinning
//   is paid from an allowance that grows with time at a small share of one core, so it can never
//   cost more; and it is never done while the last wake-up's runs may still be on their way, when
//   a spinning thread would take a core from the loop that is starting them.
// - Dense wake-ups (more than one a millisecond on average) come on whole milliseconds of the
//   steady clock, each taking everything due by then: deadlines that fall within one millisecond
//   travel together instead of each paying for its own trip, and their runs, ending together,
//   stay together. Pacing stays dense until wake-ups are four milliseconds apart on average, or
//   pause for eight: a group of runs paced on the grid comes back every two milliseconds or so,
//   and leaving then would only let it split up again.
//
// Never early either way. Not thread-safe: the timer queue's lock guards it.
class WakePacing {
 public:
  static constexpr Clock::duration spin_lead = std::chrono::microseconds(150);
  static constexpr Clock::duration grid = std::chrono::milliseconds(1);

  // When the alarm should go off for the earliest deadline `due`, judged at `now`.
  Clock::time_point alarm_for(Clock::time_point due, Clock::time_point now) const noexcept;

  // Whether the thread, awake at `now`, should spin until `due` rather than sleep.
  bool spins_to(Clock::time_point due, Clock::time_point now) const noexcept;

  // The thread spun from `from` to `to`.
  void spun(Clock::time_point from, Clock::time_point to) noexcept;

  // The thread woke at `now` and found something due.
  void woke(Clock::time_point now) noexcept;

  // Whether wake-ups come densely (see above), judged at `now`.
  bool dense(Clock::time_point now) const noexcept;

 private:
  // Whether the last wake-up was long enough before `now` for its runs to have started.
  bool quiet_at(Clock::time_point now) const noexcept;

  // Spinning time available at `now`.
  Clock::duration allowance_at(Clock::time_point now) const noexcept;

  // Averaged over about the last eight wake-ups; starts out sparse.
  Clock::duration mean_gap_ = std::chrono::seconds(1);
  bool dense_ = false;
  Clock::time_point last_wake_{};
  Clock::duration allowance_ = allowance_cap;
  Clock::time_point allowance_since_{};

  static constexpr Clock::duration quiet_gap = std::chrono::milliseconds(2);
  static constexpr Clock::duration pause = std::chrono::milliseconds(8);
  // Spinning earns 1/64 of the time that passes (under 1.6 % of one core), banked up to 2 ms.
  static constexpr int allowance_share = 64;
  static constexpr Clock::duration allowance_cap = std::chrono::milliseconds(2);
};

}  // namespace tyvo::rt::detail
