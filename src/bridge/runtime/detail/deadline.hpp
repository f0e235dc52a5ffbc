#pragma once

#include <chrono>

namespace tyvo::rt::detail {

// Sleeps are timed on the steady clock (CLOCK_MONOTONIC), or for calendar deadlines on the wall
// clock (CLOCK_REALTIME); both count nanoseconds. A deadline is exact: the timer never fires
// before it and wakes as soon after it as the kernel allows.
using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// Where a deadline goes when it cannot be represented: about 30 years away,
// which in practice means never.
inline constexpr std::chrono::seconds far_future{946'080'000};

// now + delay, saturating to now + far_future when the sum would overflow.
// A negative delay counts as zero.
Clock::time_point deadline_after(Clock::time_point now, std::chrono::nanoseconds delay) noexcept;

// The same on the wall clock.
WallClock::time_point wall_deadline_after(WallClock::time_point now, std::chrono::nanoseconds delay) noexcept;

}  // namespace tyvo::rt::detail
