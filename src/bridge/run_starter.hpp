// Starting job runs: call the handler on a worker thread and hand its coroutine to the loop.
//
// Runs that become due together (a thousand jobs on the same interval, say) are started in
// batches: the first worker to ask takes the interpreter lock once and starts every run queued
// meanwhile, and hands all coroutines bound for one loop over in one call_soon_threadsafe. One
// lock hand-off and one loop wake-up per batch instead of per run is what keeps a busy scheduler
// from queueing behind the interpreter lock.
#pragma once

#include <memory>

#include "bridge/coroutine_handover.hpp"
#include "python/python_call.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

// The run's one message: how it ended (see RunEnd). Dropped unsent when the loop dropped its
// coroutine unrun (see outcome_of_lost_run).
using RunHandle = rt::OneshotReceiver<RunEnd>;

// A run starter for the jobs of one set of task locals.
std::shared_ptr<RunQueue> new_run_queue();

// Asks for a run now, without waiting. Once asked for, the run is made even if nobody waits for
// its end any more: the coroutine then runs to its end on the loop and its outcome is discarded.
RunHandle start_run(std::shared_ptr<const PythonCall> call, std::shared_ptr<const TaskLocals> locals);

}  // namespace tyvo::py
