#pragma once

#include <chrono>
#include <cstdint>

namespace tyvo::rt::detail {

// The timer counts in ticks of the steady clock, whole milliseconds: coarse enough that sleepers
// due together share a wake-up. (A 100 us tick wakes interval jobs about 1 ms earlier on
// average, but lets back-to-back jobs run ten times as often, each run a wake-up of its own.)
using Clock = std::chrono::steady_clock;
using Tick = std::int64_t;
using TickLength = std::chrono::duration<Tick, std::milli>;

// Where a deadline goes when it cannot be represented: about 30 years away,
// which in practice means never.
inline constexpr std::chrono::seconds far_future{946'080'000};

// now + delay, saturating to now + far_future when the sum would overflow.
// A negative delay counts as zero.
Clock::time_point deadline_after(Clock::time_point now, std::chrono::nanoseconds delay) noexcept;

// The first tick at or after `deadline` (rounded up, so a timer never fires
// early), or the tick of now + far_future when rounding up would overflow.
Tick tick_not_before(Clock::time_point deadline, Clock::time_point now) noexcept;

// The instant a tick begins.
Clock::time_point tick_start(Tick tick) noexcept;

}  // namespace tyvo::rt::detail
