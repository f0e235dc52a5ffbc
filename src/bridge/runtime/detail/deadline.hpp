#pragma once

#include <chrono>

namespace tyvo::rt::detail {

// Sleeps are timed on the steady clock (CLOCK_MONOTONIC), or for calendar deadlines on the wall
// clock (CLOCK_REALTIME). A deadline is exact: the timer never fires before it and wakes as soon
// after it as the kernel allows.
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;
// Wall-clock instants in nanoseconds, whatever the standard library counts the clock in (libc++:
// microseconds).
using WallTime = std::chrono::sys_time<std::chrono::nanoseconds>;

inline WallTime wall_now() noexcept { return std::chrono::time_point_cast<std::chrono::nanoseconds>(WallClock::now()); }

// Where a deadline goes when it cannot be represented: about 30 years away,
// which in practice means never.
inline constexpr std::chrono::seconds far_future{946'080'000};

// now + delay, saturating to now + far_future when the sum would overflow.
// A negative delay counts as zero.
Clock::time_point deadline_after(Clock::time_point now, std::chrono::nanoseconds delay) noexcept;

// The same on the wall clock.
WallTime wall_deadline_after(WallTime now, std::chrono::nanoseconds delay) noexcept;

}  // namespace tyvo::rt::detail
