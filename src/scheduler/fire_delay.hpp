// When a job task wakes for its next run.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "module/trigger_value.hpp"

namespace tyvo {

// The first occurrence of the cron pattern strictly after the current whole UTC second of `now`
// and strictly after `last`, the occurrence the job last woke for: a wall clock set back never
// brings an occurrence round twice. Throws std::runtime_error when there is none.
std::chrono::sys_seconds next_occurrence(const CronTrigger& trigger, std::chrono::system_clock::time_point now,
                                         std::optional<std::chrono::sys_seconds> last);

// From `now` to `next`, with nanosecond precision; nanoseconds::max() for an occurrence too far
// away to count in nanoseconds. Throws std::runtime_error when `next` is not after `now`.
std::chrono::nanoseconds delay_until(std::chrono::sys_seconds next, std::chrono::system_clock::time_point now);

// The cron fire times after `due` up to the whole second of `ended`, at most `limit` of them: the
// ones a run due at `due` and ended at `ended` made its job pass over, since the next fire time
// is searched after that second. None for an interval, or for a pattern that no longer parses.
std::vector<std::chrono::sys_seconds> fire_times_passed_over(const TriggerValue& trigger,
                                                             std::chrono::system_clock::time_point due,
                                                             std::chrono::system_clock::time_point ended,
                                                             std::size_t limit);

}  // namespace tyvo
