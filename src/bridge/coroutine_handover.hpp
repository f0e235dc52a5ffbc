// Running a handler's coroutine on the host event loop from a worker thread.
#pragma once

#include <vector>

#include "bridge/run_callbacks.hpp"
#include "bridge/coroutine_outcome.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/start_permits.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

// Schedules each awaitable as a task of `locals.loop`, in a copy of `locals.context`, with one
// call_soon_threadsafe; each entry's sender then gets the task's outcome. Lock held. When the loop
// refuses (it is closed, say), the coroutines are closed unawaited, the Python error is left set,
// and the senders come back, for the caller to tell their runs why; otherwise none do.
std::vector<rt::OneshotSender<RunEnd>> hand_over_all(const TaskLocals& locals,
                                                     std::vector<EnsureFutureEntry> entries,
                                                     StartPermits permits);

// The outcome of a run whose message never came (the loop dropped the callback, or could not
// make a task of the object): a new asyncio.CancelledError; nothing once the program is ending.
// Takes the lock.
CoroutineOutcome outcome_of_lost_run();

}  // namespace tyvo::py
