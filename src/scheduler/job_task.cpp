#include "scheduler/job_task.hpp"

#include <chrono>
#include <optional>
#include <variant>
#include <string>

#include "bridge/coroutine_handover.hpp"
#include "python/interpreter.hpp"
#include "bridge/log.hpp"
#include "bridge/run_starter.hpp"
#include "bridge/runtime/unless_signalled.hpp"
#include "scheduler/fire_delay.hpp"

namespace tyvo {
namespace {

void report_outcome(const Job& job, py::CoroutineOutcome outcome) {
  auto* exception = std::get_if<py::PythonException>(&outcome);
  if (exception == nullptr) return;  // a return value is dropped unused
  std::string rendered;
  {
    py::InterpreterLock lock;
    if (!lock.held()) return;
    rendered = exception->render();
    outcome = py::CoroutineOutcome(py::PyRef{});  // release the exception while we hold the lock
  }
  TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, rendered);
}

// An instant on both clocks: the steady one to sleep on, the wall one for cron fire times.
struct Instant {
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  static Instant now() { return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()}; }
};

enum class AfterRun { next_fire_time, cannot_go_on, stopped };

// Reports how a run ended and sets `ended` to when it did.
AfterRun after(const Job& job, std::optional<py::RunEnd> end, Instant& ended) {
  if (!end) {
    report_outcome(job, py::outcome_of_lost_run());
    ended = Instant::now();
    return AfterRun::next_fire_time;
  }
  if (end->unwanted) {  // paused while the run waited for its turn
    ended = Instant::now();
    return AfterRun::next_fire_time;
  }
  if (!end->started) {  // the handler raised, or the loop refused the coroutine
    if (!end->failure.empty()) TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, end->failure);
    return AfterRun::cannot_go_on;
  }
  ended = Instant{end->finished_steady, end->finished_wall};
  report_outcome(job, std::move(end->outcome));
  return AfterRun::next_fire_time;
}

// A frame of its own, which lives only while the run does: a sleeping job keeps just its own.
rt::Task<AfterRun> run_once(const Job& job, rt::Receiver<rt::Signal>& stop,
                            const std::shared_ptr<const py::TaskLocals>& locals, Instant& ended) {
  py::RunHandle run = py::start_run(job.call, locals, job.active);
  auto end = co_await rt::receive_unless_signalled(stop, run.end());
  if (!end) {
    // A run that has not begun never will; one being begun right now is handed to the loop
    // before this task goes on to its end, and then runs on, unobserved.
    co_await run.withdraw();
    co_return AfterRun::stopped;
  }
  co_return after(job, std::move(*end), ended);
}

// The next fire time. An interval counts on the steady clock from the end of the run; a cron
// occurrence is a time of the wall clock, which the sleep meets by that clock's own reading,
// whatever it was stepped to meanwhile.
rt::UnlessSignalled<rt::Sleep> sleep_to_next_fire_time(const Job& job, rt::Receiver<rt::Signal>& stop,
                                                     const Instant& from,
                                                     std::optional<std::chrono::sys_seconds>& last_occurrence) {
  if (const auto* interval = std::get_if<IntervalTrigger>(&job.trigger)) {
    return rt::sleep_until_unless_signalled(stop,
                                            rt::detail::deadline_after(from.steady, interval->as_nanoseconds()));
  }
  const auto next = next_occurrence(std::get<CronTrigger>(job.trigger), from.wall, last_occurrence);
  last_occurrence = next;
  const auto wall_from = std::chrono::time_point_cast<std::chrono::nanoseconds>(from.wall);
  return rt::sleep_until_wall_unless_signalled(stop,
                                               rt::detail::wall_deadline_after(wall_from, delay_until(next, from.wall)));
}

}  // namespace

// Each wait of the job (for a run's end, for the next fire time) also listens for the stop, so a
// sleeping job holds nothing but this frame and the timer entry inside it.
rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched) {
  // The occurrence the job last woke for: one the wall clock comes back to is not run again.
  std::optional<std::chrono::sys_seconds> last_occurrence;
  for (;;) {
    // The next fire time counts from the end of the run, as the loop saw it.
    Instant from = Instant::now();
    if (job.active->load()) {
      const AfterRun outcome = co_await run_once(job, stop, locals, from);
      if (outcome == AfterRun::cannot_go_on) co_return;
      if (outcome == AfterRun::stopped) break;
    }
    if (!co_await sleep_to_next_fire_time(job, stop, from, last_occurrence)) break;
  }
  if (!launched->retired()) job.active->store(false);
  TYVO_LOG_WARN("Job {} is now shutdown", job.id);
}

}  // namespace tyvo
