#include "scheduler/job_task.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bridge/asyncio_api.hpp"
#include "bridge/coroutine_handover.hpp"
#include "python/interpreter.hpp"
#include "bridge/log.hpp"
#include "bridge/run_event.hpp"
#include "bridge/run_observers.hpp"
#include "bridge/run_starter.hpp"
#include "bridge/runtime/unless_signalled.hpp"
#include "scheduler/fire_delay.hpp"
#include "scheduler/job_switches.hpp"

namespace tyvo {
namespace {

// Logs a run's exception; returns how the run ended.
py::RunOutcome report_outcome(const Job& job, py::CoroutineOutcome outcome) {
  auto* exception = std::get_if<py::PythonException>(&outcome);
  if (exception == nullptr) return py::RunOutcome::returned;  // a return value is dropped unused
  std::string rendered;
  py::RunOutcome how = py::RunOutcome::raised;
  {
    py::InterpreterLock lock;
    if (!lock.held()) return how;
    rendered = exception->render();
    if (PyErr_GivenExceptionMatches(exception->error.get(), py::asyncio::cancelled_error())) {
      how = py::RunOutcome::cancelled;
    }
    outcome = py::CoroutineOutcome(py::PyRef{});  // release the exception while we hold the lock
  }
  TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, rendered);
  return how;
}

// An instant on both clocks: the steady one to sleep on, the wall one for cron fire times.
struct Instant {
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  static Instant now() { return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()}; }
};

enum class AfterRun { next_fire_time, cannot_go_on, stopped };

// Observers hear of at most this many fire times passed over by one run.
constexpr std::size_t max_skipped_reported = 1000;

// For observers: the cron fire times that the run due at `due` made its job pass over.
void report_passed_over(const Job& job, const py::TaskLocals& locals, const Instant& due, const Instant& ended) {
  const auto passed = fire_times_passed_over(job.trigger, due.wall, ended.wall, max_skipped_reported);
  if (passed.empty()) return;
  post_skipped_fire_times(locals, py::RunDue{job.id, due.steady, due.wall, false, nullptr, 0, {}},
                          std::vector<std::chrono::system_clock::time_point>(passed.begin(), passed.end()),
                          "overlap");
}

// For observers: the fire time `due` found the job paused.
void report_paused(const Job& job, const py::TaskLocals& locals, const Instant& due) {
  post_skipped_fire_times(locals, py::RunDue{job.id, due.steady, due.wall, false, nullptr, 0, {}}, {due.wall}, "paused");
}

// An observed run: its due instant and its number in the job's status.
struct ObservedRun {
  Instant due;
  std::uint64_t number;
};

// Reports how a run ended and sets `ended` to when it did. `observed`: set when observers were
// told of the run.
AfterRun after(const Job& job, std::optional<py::RunEnd> end, Instant& ended, const py::TaskLocals& locals,
               const ObservedRun* observed) {
  const auto note_not_run = [&] {
    if (observed == nullptr || !job.status) return;
    job.status->run_ended(observed->number, std::nullopt, py::RunOutcome::none);
  };
  if (!end) {
    const auto how = report_outcome(job, py::outcome_of_lost_run());
    ended = Instant::now();
    if (observed != nullptr && job.status) job.status->run_ended(observed->number, ended.wall, how);
    return AfterRun::next_fire_time;
  }
  if (end->unwanted) {  // paused while the run waited for its turn
    ended = Instant::now();
    note_not_run();
    if (observed != nullptr) report_paused(job, locals, observed->due);
    return AfterRun::next_fire_time;
  }
  if (!end->started) {  // the handler raised, or the loop refused the coroutine
    note_not_run();
    if (!end->failure.empty()) TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, end->failure);
    if (observed != nullptr && !end->failure.empty()) {
      auto* error = std::get_if<py::PythonException>(&end->outcome);
      post_job_ended(locals, job.id, "failed", error != nullptr ? std::move(error->error) : py::PyRef{});
    }
    return AfterRun::cannot_go_on;
  }
  ended = Instant{end->finished_steady, end->finished_wall};
  const auto how = report_outcome(job, std::move(end->outcome));
  if (observed != nullptr) {
    if (job.status) job.status->run_ended(observed->number, ended.wall, how);
    report_passed_over(job, locals, observed->due, ended);
  }
  return AfterRun::next_fire_time;
}

// A frame of its own, which lives only while the run does: a sleeping job keeps just its own.
// `at`: when the run is due; afterwards, when it ended.
rt::Task<AfterRun> run_once(const Job& job, rt::Receiver<rt::Signal>& stop,
                            const std::shared_ptr<const py::TaskLocals>& locals, Instant& at, bool first) {
  // The one question a run asks about observers when there are none.
  const bool observed = py::runs_observed();
  const Instant due = at;
  std::unique_ptr<py::RunDue> observed_due;
  ObservedRun observed_run{due, 0};
  if (observed) {
    if (job.status) observed_run.number = job.status->run_begun(due.wall);
    observed_due = std::make_unique<py::RunDue>(
        py::RunDue{job.id, due.steady, due.wall, first, job.status, observed_run.number, {}});
    if (const auto* cron = std::get_if<CronTrigger>(&job.trigger)) observed_due->cron = cron->expr;
  }
  py::RunHandle run = py::start_run(job.call, locals, job.active, std::move(observed_due));
  auto end = co_await rt::receive_unless_signalled(stop, run.end());
  if (!end) {
    // A run that has not begun never will; one being begun right now is handed to the loop
    // before this task goes on to its end, and then runs on, unobserved.
    co_await run.withdraw();
    co_return AfterRun::stopped;
  }
  co_return after(job, std::move(*end), at, *locals, observed ? &observed_run : nullptr);
}

// Sets `at` from the instant the next fire time counts from (the end of the run, or now) to that
// fire time, and returns the sleep until it. An interval counts on the steady clock; a cron
// occurrence is a time of the wall clock, which the sleep meets by that clock's own reading,
// whatever it was stepped to meanwhile. `last_occurrence`: the occurrence the job last woke for.
rt::UnlessSignalled<rt::Sleep> sleep_to_next_fire_time(const Job& job, rt::Receiver<rt::Signal>& stop,
                                                     const py::TaskLocals& locals, Instant& at,
                                                     std::optional<std::chrono::sys_seconds>& last_occurrence) {
  const Instant from = at;
  // The wall clock's share of `at` saturates as the deadline does, at "never".
  const auto due_wall = [&](std::chrono::nanoseconds delay) {
    const auto wall_delay = std::min<std::chrono::nanoseconds>(delay, rt::detail::far_future);
    return from.wall + std::chrono::duration_cast<std::chrono::system_clock::duration>(wall_delay);
  };
  if (const auto* interval = std::get_if<IntervalTrigger>(&job.trigger)) {
    const auto delay = interval->as_nanoseconds();
    at = {rt::detail::deadline_after(from.steady, delay), due_wall(delay)};
    if (job.status && py::runs_observed()) job.status->next_fire(at.wall);
    return rt::sleep_until_unless_signalled(stop, at.steady);
  }
  std::chrono::sys_seconds next;
  try {
    next = next_occurrence(std::get<CronTrigger>(job.trigger), from.wall, last_occurrence);
  } catch (...) {
    if (py::runs_observed()) post_job_ended(locals, job.id, "exhausted", py::PyRef{});
    throw;
  }
  last_occurrence = next;
  const auto delay = delay_until(next, from.wall);
  at = {rt::detail::deadline_after(from.steady, delay), due_wall(delay)};
  if (job.status && py::runs_observed()) job.status->next_fire(next);
  const auto wall_from = std::chrono::time_point_cast<std::chrono::nanoseconds>(from.wall);
  return rt::sleep_until_wall_unless_signalled(stop, rt::detail::wall_deadline_after(wall_from, delay));
}

// Fire times closer together than the timer can tell apart. A job paused on such a trigger waits
// for resume() instead: waking for each of them would be a busy loop that does nothing.
constexpr std::chrono::milliseconds finest_paused_wait{1};

bool fires_back_to_back(const TriggerValue& trigger) {
  const auto* interval = std::get_if<IntervalTrigger>(&trigger);
  return interval != nullptr && interval->as_nanoseconds() < finest_paused_wait;
}

// Waits until the job is switched on again; false when told to stop first.
rt::Task<bool> until_switched_on(const Job& job, rt::Receiver<rt::Signal>& stop) {
  rt::Bell& switched_on = job_switched_on();
  for (;;) {
    const auto noted = switched_on.rings();  // before the look, so no ring goes unheard
    if (job.active->load()) co_return true;
    auto rung = rt::UnlessSignalled<rt::Bell::Wait>(stop, [&] { return switched_on.rung_since(noted); });
    if (!co_await rung) co_return false;
  }
}

}  // namespace

// Each wait of the job (for a run's end, for the next fire time) also listens for the stop, so a
// sleeping job holds nothing but this frame and the timer entry inside it.
rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched) {
  // Before a run, the instant it is due (the first: as the task begins); after it, the instant the
  // next fire time counts from: the end of the run, as the loop saw it.
  Instant at = Instant::now();
  bool first = true;
  // The occurrence the job last woke for: one the wall clock comes back to is not run again.
  std::optional<std::chrono::sys_seconds> last_occurrence;
  for (;;) {
    if (job.active->load()) {
      const AfterRun outcome = co_await run_once(job, stop, locals, at, first);
      if (outcome == AfterRun::cannot_go_on) co_return;
      if (outcome == AfterRun::stopped) break;
    } else if (fires_back_to_back(job.trigger)) {
      if (job.status && py::runs_observed()) job.status->next_fire(std::nullopt);  // due once resumed
      if (!co_await until_switched_on(job, stop)) break;
      first = false;
      at = Instant::now();
      continue;  // its next fire time is now
    } else {
      if (!first && py::runs_observed()) report_paused(job, *locals, at);
      at = Instant::now();
    }
    first = false;
    if (!co_await sleep_to_next_fire_time(job, stop, *locals, at, last_occurrence)) break;
  }
  if (!launched->retired()) job.active->store(false);
  TYVO_LOG_WARN("Job {} is now shutdown", job.id);
  if (py::runs_observed()) {
    if (job.status) job.status->next_fire(std::nullopt);
    post_job_ended(*locals, job.id, "shutdown", py::PyRef{});
  }
}

}  // namespace tyvo
