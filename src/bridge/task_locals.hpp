// The host event loop and the contextvars context that a scheduler's jobs run with.
#pragma once

#include <memory>

#include "python/py_ref.hpp"

namespace tyvo::py {

class RunQueue;

struct TaskLocals {
  PyRef loop;
  PyRef context;  // a contextvars.Context, or None
  // Starts the runs of the jobs that use these locals (set for a start()'s locals). One per loop
  // user, so that a loop that stops taking callbacks holds up only its own jobs.
  std::shared_ptr<RunQueue> runs;
};

// Drops the loop and the context (lock held): at exit, see python/exit_release.hpp. A run whose
// task a closed loop never started has its coroutine closed first, quietly: it can never run, and
// Python would otherwise warn, during teardown, that it was never awaited.
void release_references(TaskLocals& locals);

// The task locals of the operation whose code is running, if any; otherwise the running loop of
// the calling thread and a copy of the current context. Lock held; throws PythonErrorSet (with
// asyncio's RuntimeError when no loop is running).
std::shared_ptr<const TaskLocals> capture_task_locals();

// The same, with a run starter of its own: the locals of a start() and of its jobs.
std::shared_ptr<const TaskLocals> capture_task_locals_for_jobs();

}  // namespace tyvo::py
