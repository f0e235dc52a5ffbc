// The small callable objects the bridge hands to asyncio. Each runs on the event loop's thread.
#pragma once

#include <vector>

#include "bridge/coroutine_outcome.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/start_permits.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// PyDoneCallback(future): fires `cancellation` if the operation's future was cancelled.
PyRef new_done_callback(rt::OneshotSender<rt::Signal> cancellation);

// CheckedCompletor(future, method, value): calls method(value) unless the future was cancelled.
PyRef new_checked_completor();

struct EnsureFutureEntry {
  PyRef awaitable;
  rt::OneshotSender<RunEnd> outcome;
  PyRef event;  // the run's event, when runs are observed (see run_event.hpp)
};

// PyEnsureFuture(): on `loop`, wraps each awaitable in a task of that loop and has PyTaskCompleter
// send the task's outcome. An entry that cannot be made a task goes to the loop's exception
// handler, and its outcome is never sent. Dropped uncalled, it sends no outcome at all.
// `permits` go back once the loop has taken the first steps of the batch's tasks (checked by one
// call_soon after making them), or when that can no longer happen.
PyRef new_ensure_future(PyRef loop, std::vector<EnsureFutureEntry> entries, StartPermits permits);

// Takes back the entries of a PyEnsureFuture that the loop refused, with their coroutines closed,
// so that each run can be told why it never started. Lock held.
std::vector<rt::OneshotSender<RunEnd>> refused_entries(PyObject* ensure_future);

// In a forked child (lock held): cancels the runs whose tasks the parent made but whose first
// steps are still queued on the child's copy of a loop, so that none of them begins there.
void cancel_unstarted_runs_after_fork();

}  // namespace tyvo::py
