#include "scheduler/job_task.hpp"

#include <optional>
#include <string>

#include "bridge/coroutine_handover.hpp"
#include "bridge/interpreter.hpp"
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

// Reports how a run ended. False when the run could not start (the handler raised, or the loop
// refused the coroutine): the job cannot go on.
bool went_on_after(const Job& job, std::optional<py::RunEnd> end) {
  if (!end) {
    report_outcome(job, py::outcome_of_lost_run());
    return true;
  }
  if (!end->started) {
    if (!end->failure.empty()) TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, end->failure);
    return false;
  }
  report_outcome(job, std::move(end->outcome));
  return true;
}

enum class AfterRun { next_fire_time, cannot_go_on, stopped };

// A frame of its own, which lives only while the run does: a sleeping job keeps just its own.
rt::Task<AfterRun> run_once(const Job& job, rt::Receiver<rt::Signal>& stop,
                            const std::shared_ptr<const py::TaskLocals>& locals) {
  const py::RunHandle run = py::start_run(job.call, locals);
  auto end = co_await rt::receive_unless_signalled(stop, run);
  if (!end) co_return AfterRun::stopped;  // the coroutine runs on, unobserved
  co_return went_on_after(job, std::move(*end)) ? AfterRun::next_fire_time : AfterRun::cannot_go_on;
}

}  // namespace

// Each wait of the job (for a run's end, for the next fire time) also listens for the stop, so a
// sleeping job holds nothing but this frame and the timer entry inside it.
rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched) {
  for (;;) {
    if (job.active->load()) {
      const AfterRun after = co_await run_once(job, stop, locals);
      if (after == AfterRun::cannot_go_on) co_return;
      if (after == AfterRun::stopped) break;
    }
    if (!co_await rt::sleep_unless_signalled(stop, fire_delay(job.trigger, std::chrono::system_clock::now()))) {
      break;
    }
  }
  if (!launched->retired()) job.active->store(false);
  TYVO_LOG_WARN("Job {} is now shutdown", job.id);
}

}  // namespace tyvo
