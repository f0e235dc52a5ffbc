// How long a job task sleeps before its next fire time.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "module/trigger_value.hpp"

namespace tyvo {

// Interval: the interval itself, counted from now (the end of the previous run).
// Cron: from `now` to the first occurrence strictly after the current whole UTC second.
// Throws std::runtime_error when no next fire time exists; the job cannot go on then.
std::chrono::nanoseconds fire_delay(const TriggerValue& trigger, std::chrono::system_clock::time_point now);

// The cron fire times after `due` up to the whole second of `ended`, at most `limit` of them: the
// ones a run due at `due` and ended at `ended` made its job pass over, since the next fire time
// is searched after that second. None for an interval, or for a pattern that no longer parses.
std::vector<std::chrono::sys_seconds> fire_times_passed_over(const TriggerValue& trigger,
                                                             std::chrono::system_clock::time_point due,
                                                             std::chrono::system_clock::time_point ended,
                                                             std::size_t limit);

}  // namespace tyvo
