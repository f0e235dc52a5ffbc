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

}  // namespace

// One frame for the job's whole life: each wait (for a run's end, for the next fire time) also
// listens for the stop, so a sleeping job holds nothing but this frame and its timer entry.
rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched) {
  for (;;) {
    if (job.active->load()) {
      const py::RunHandle run = py::start_run(job.call, locals);
      auto end = co_await rt::receive_unless_signalled(stop, run);
      if (!end) break;  // stopped mid-run: the coroutine runs on, unobserved
      if (!went_on_after(job, std::move(*end))) co_return;
    }
    if (!co_await rt::sleep_unless_signalled(stop, fire_delay(job.trigger, std::chrono::system_clock::now()))) {
      break;
    }
  }
  if (!launched->retired()) job.active->store(false);
  TYVO_LOG_WARN("Job {} is now shutdown", job.id);
}

}  // namespace tyvo
