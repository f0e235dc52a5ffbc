// How long a job task sleeps before its next fire time.
#pragma once

#include <chrono>

#include "module/trigger_value.hpp"

namespace tyvo {

// Interval: the interval itself, counted from now (the end of the previous run).
// Cron: from `now` to the first occurrence strictly after the current whole UTC second.
// Throws std::runtime_error when no next fire time exists; the job cannot go on then.
std::chrono::nanoseconds fire_delay(const TriggerValue& trigger, std::chrono::system_clock::time_point now);

}  // namespace tyvo
