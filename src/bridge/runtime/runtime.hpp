#pragma once

#include "bridge/runtime/task.hpp"

#include <memory>

namespace tyvo::rt {

// The process-wide worker pool: one thread per core, started on first use and
// never shut down (its threads are detached, so the process may exit while
// tasks still sleep or wait).

// Runs `task` detached: it starts as soon as a worker is free and nobody waits
// for it. An exception escaping it ends that task only and is reported on
// stderr as one line, "tyvo: task failed: <what>".
void spawn(Task<void> task);

// The same, with a value that current_task_local() returns whenever code of
// this task (or of any task it awaits or races) runs.
void spawn(Task<void> task, std::shared_ptr<void> task_local);

// The same, queued behind the work the workers already have: from a worker thread it wakes no
// other worker, as this one comes to it once done with the queue. For a task that gathers what
// the queued work produces (the runs asked for by sleepers woken together), which a second worker
// woken for it would start before the rest had been asked for. The worker that calls it must not
// then block until the task has run.
void spawn_behind(Task<void> task);

// The task-local value of the spawned task running on this thread now; null
// outside a spawned task.
std::shared_ptr<void> current_task_local();

// True on the pool's worker threads and on the timer thread.
bool on_runtime_thread() noexcept;

}  // namespace tyvo::rt
