#include "scheduler/fire_delay.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "cron/cron.hpp"

namespace tyvo {

std::chrono::sys_seconds next_occurrence(const CronTrigger& trigger, std::chrono::system_clock::time_point now,
                                         std::optional<std::chrono::sys_seconds> last) {
  // Parsed afresh each time: nothing parsed outlives the step, so a job holds only its text.
  const cron::Pattern pattern = cron::parse(trigger.expr);
  // Searching strictly after the current second (not after now) keeps a run that ends inside its
  // own fire second from firing again in that same second.
  auto base = std::chrono::floor<std::chrono::seconds>(now);
  if (last) base = std::max(base, *last);
  try {
    return cron::next_after(pattern, base);
  } catch (const cron::Error& error) {
    throw std::runtime_error("failed to find next cron time: " + std::string{error.text()});
  }
}

std::chrono::nanoseconds delay_until(std::chrono::sys_seconds next, std::chrono::system_clock::time_point now) {
  // Whole seconds first: `next - now` in nanoseconds overflows for occurrences past 2262, and such
  // a wait is "never" for practical purposes (the timer caps it at 30 years anyway).
  const auto base = std::chrono::floor<std::chrono::seconds>(now);
  const std::chrono::seconds whole = next - base;
  const auto into_second = now - base;
  constexpr auto representable =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::nanoseconds::max()) -
      std::chrono::seconds(1);
  if (whole >= representable) return std::chrono::nanoseconds::max();
  const auto delay =
      std::chrono::nanoseconds(whole) - std::chrono::duration_cast<std::chrono::nanoseconds>(into_second);
  if (delay <= std::chrono::nanoseconds::zero()) throw std::runtime_error("duration is out of range");
  return delay;
}

std::vector<std::chrono::sys_seconds> fire_times_passed_over(const TriggerValue& trigger,
                                                             std::chrono::system_clock::time_point due,
                                                             std::chrono::system_clock::time_point ended,
                                                             std::size_t limit) {
  std::vector<std::chrono::sys_seconds> passed;
  const auto* cron_trigger = std::get_if<CronTrigger>(&trigger);
  if (cron_trigger == nullptr) return passed;
  const auto last = std::chrono::floor<std::chrono::seconds>(ended);
  auto after = std::chrono::floor<std::chrono::seconds>(due);
  if (last <= after) return passed;  // the common case: the run ended within its own second
  try {
    const cron::Pattern pattern = cron::parse(cron_trigger->expr);
    while (passed.size() < limit) {
      const cron::Occurrence next = cron::find_next_after(pattern, after);
      if (!next || next.time > last) break;
      passed.push_back(next.time);
      after = next.time;
    }
  } catch (const cron::Error&) {
  }
  return passed;
}

}  // namespace tyvo
