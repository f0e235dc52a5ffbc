// When a job fires: a cron pattern or a fixed interval. A plain value, free of Python, so that
// job tasks on worker threads can keep and copy it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

namespace tyvo {

struct CronTrigger {
  std::string expr;  // exactly as the caller wrote it; parsed where it is used
};

struct IntervalTrigger {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // below one second

  std::chrono::nanoseconds as_nanoseconds() const noexcept {
    // Past ~292 years the count saturates; such a wait is "never" in practice anyway.
    constexpr std::uint64_t max_seconds = std::uint64_t(INT64_MAX) / 1'000'000'000 - 1;
    if (seconds > max_seconds) return std::chrono::nanoseconds::max();
    return std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds);
  }
};

using TriggerValue = std::variant<CronTrigger, IntervalTrigger>;

}  // namespace tyvo
