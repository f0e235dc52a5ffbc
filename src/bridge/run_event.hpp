// Run events as Python sees them (`tyvo_observe.RunEvent`), and the steps by which an observed
// run fills in its event: created as the run is started, noted started on the loop just before
// its coroutine's first step, completed and delivered by the run's completer.
#pragma once

#include <Python.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge/job_status.hpp"
#include "bridge/run_due.hpp"
#include "bridge/task_locals.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// An aware UTC datetime, a new reference (lock held; run_event_type() made first).
PyObject* utc_datetime(std::chrono::system_clock::time_point instant);

// "returned", "raised", "cancelled"; null for none.
const char* outcome_name(RunOutcome outcome);

// The class, made once (lock held).
PyTypeObject* run_event_type();

// A "run" event for a run about to be started (lock held).
PyRef new_run_event(const RunDue& due);

// Loop thread, lock held, before the run's task is made: returns a fresh copy of the current
// context, for the task to run in. The run's start is noted in that context (its time taken, the
// start sink called) by a callback queued now, right ahead of the task's first step; or at once
// when `at_once` (a task factory may take the first step itself, inside create_task).
PyRef begin_observed_run(PyObject* loop, PyObject* event, bool at_once);

// The run's task is made (loop thread, lock held): a drain may wait for it from now on.
void observed_run_task(PyObject* event, PyObject* task);

// [(event, task)] for every observed run with a task that has not ended (lock held).
PyRef runs_in_progress();

// The event of the run whose context is current, or None (lock held).
PyRef current_run();

// The run `run` let the fire time `due` pass on this replica, for `reason` (a string that lives
// for the process): marks the run with the reason and returns the "skipped" event to deliver.
PyRef replica_skipped(PyObject* run, std::chrono::system_clock::time_point due, const char* reason);

// A drain cancels the run: its event says "shutdown" as its reason.
void cancelled_at_shutdown(PyObject* run);

// The run's task could not be made: the run never starts, and its start is not noted.
void abandon_observed_run(PyObject* event) noexcept;

// Loop thread, lock held, as the run's task is done: records the end and the outcome
// (`exception` null for a return value) and delivers the event. A subscriber's failure is
// reported, not raised; only an interrupt (KeyboardInterrupt, say) leaves as PythonErrorSet.
void end_observed_run(PyObject* event, std::chrono::steady_clock::time_point ended_steady,
                      std::chrono::system_clock::time_point ended_wall, PyObject* exception);

// From a job task's worker thread (takes the lock; nothing once the program is ending): events
// the task reports itself, delivered on its loop in one callback. A closed loop drops them.
// Fire times that passed without a run, for `reason` ("overlap": while `run` was still going;
// "paused": while the job was paused), a string that lives for the process:
void post_skipped_fire_times(const TaskLocals& locals, const RunDue& run,
                             const std::vector<std::chrono::system_clock::time_point>& skipped, const char* reason);
// The job task ended: `reason` is "shutdown", "failed" (with the error that stopped the run from
// starting, if known) or "exhausted" (no fire time to wait for).
void post_job_ended(const TaskLocals& locals, const std::string& job_id, const char* reason, PyRef exception);

}  // namespace tyvo::py
