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

// The task-local value of the spawned task running on this thread now; null
// outside a spawned task.
std::shared_ptr<void> current_task_local();

// True on the pool's worker threads and on the timer thread.
bool on_runtime_thread() noexcept;

}  // namespace tyvo::rt
