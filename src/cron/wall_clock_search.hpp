#pragma once

#include <chrono>

#include "cron/cron.hpp"

namespace tyvo::cron {

// The search on a clock that never changes offset: the earliest wall-clock
// time at least one second after `start` whose fields match, ignoring the
// pattern's zone. In UTC that is the answer itself; the zoned search runs it
// on local time read as if it were UTC.
Occurrence find_next_wall_clock(const Pattern& pattern, std::chrono::sys_seconds start) noexcept;

// Backwards: the latest matching wall-clock time at least one second before
// `end`.
Occurrence find_previous_wall_clock(const Pattern& pattern, std::chrono::sys_seconds end) noexcept;

}  // namespace tyvo::cron
