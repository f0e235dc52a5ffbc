// Running a handler's coroutine on the host event loop from a worker thread, and waiting there
// for its outcome without holding the interpreter lock.
#pragma once

#include <vector>

#include "bridge/callbacks.hpp"
#include "bridge/coroutine_outcome.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/task.hpp"
#include "bridge/start_permits.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

using CompletionHandle = rt::OneshotReceiver<CoroutineOutcome>;

// Schedules each awaitable as a task of `locals.loop`, in a copy of `locals.context`, with one
// call_soon_threadsafe. Lock held; throws PythonErrorSet (a closed loop, say), and the awaitables
// are then never awaited.
void hand_over_all(const TaskLocals& locals, std::vector<EnsureFutureEntry> entries, StartPermits permits);

// The coroutine's outcome. If it can never arrive (the loop dropped the callback, or could not
// make a task of the object) the outcome is a new asyncio.CancelledError. Destroying the waiting
// task merely stops listening: the coroutine runs on to its end on the loop.
rt::Task<CoroutineOutcome> await_completion(CompletionHandle handle);

}  // namespace tyvo::py
