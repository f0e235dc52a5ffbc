#include "scheduler/job_task.hpp"

#include <string>

#include "bridge/coroutine_handover.hpp"
#include "bridge/interpreter.hpp"
#include "bridge/log.hpp"
#include "bridge/run_starter.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/timer.hpp"
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

// One run, start to outcome. False when the run could not start (the handler raised, or the
// loop refused the coroutine): the job cannot go on. A frame of its own, so that a job spends its
// long sleeps holding only the loop's small frame.
rt::Task<bool> run_once(const Job& job, const std::shared_ptr<const py::TaskLocals>& locals) {
  py::RunStart run = co_await py::start_run(job.call, locals);
  if (!run.started) {
    if (!run.failure.empty()) TYVO_LOG_ERROR("Failed to execute job {}: {}", job.id, run.failure);
    co_return false;
  }
  auto outcome = co_await py::await_completion(std::move(*run.started));
  report_outcome(job, std::move(outcome));
  co_return true;
}

rt::Task<void> job_loop(const Job& job, const std::shared_ptr<const py::TaskLocals>& locals) {
  for (;;) {
    if (job.active->load()) {
      const bool went_on = co_await run_once(job, locals);
      if (!went_on) co_return;
    }
    co_await rt::sleep_for(fire_delay(job.trigger, std::chrono::system_clock::now()));
  }
}

rt::Task<void> stop_requested(rt::Receiver<rt::Signal>& stop) {
  co_await stop.recv();  // a message, or the channel's end: both mean stop
}

}  // namespace

rt::Task<void> run_job(Job job, rt::Receiver<rt::Signal> stop, std::shared_ptr<const py::TaskLocals> locals,
                       std::shared_ptr<const LaunchedTasks> launched) {
  auto ended = co_await rt::race(stop_requested(stop), job_loop(job, locals));
  if (ended.index() == 0) {
    if (!launched->retired()) job.active->store(false);
    TYVO_LOG_WARN("Job {} is now shutdown", job.id);
  }
}

}  // namespace tyvo
