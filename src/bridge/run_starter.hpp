// Starting job runs: call the handler on a worker thread and hand its coroutine to the loop.
//
// Runs that become due together (a thousand jobs on the same interval, say) are started in
// batches: the first worker to ask takes the interpreter lock once and starts every run queued
// meanwhile, and hands all coroutines bound for one loop over in one call_soon_threadsafe. One
// lock hand-off and one loop wake-up per batch instead of per run is what keeps a busy scheduler
// from queueing behind the interpreter lock.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bridge/coroutine_handover.hpp"
#include "bridge/python_call.hpp"
#include "bridge/runtime/task.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

struct RunStart {
  std::optional<CompletionHandle> started;  // the coroutine is on its way to the loop
  std::string failure;                      // otherwise: the rendered exception of the handler
                                            // call or of the hand-over; empty when the program
                                            // is ending and nothing was attempted
};

// A run starter for the jobs of one set of task locals.
std::shared_ptr<RunQueue> new_run_queue();

// Once begun, the run is made even if the awaiting task is dropped meanwhile: the coroutine then
// runs to its end on the loop and its outcome is discarded.
rt::Task<RunStart> start_run(std::shared_ptr<const PythonCall> call,
                             std::shared_ptr<const TaskLocals> locals);

}  // namespace tyvo::py
