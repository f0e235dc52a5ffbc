// The callbacks that start runs on the event loop and carry their ends back. Each runs on the
// event loop's thread.
#pragma once

#include <vector>

#include "bridge/coroutine_outcome.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/start_permits.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

struct EnsureFutureEntry {
  PyRef awaitable;
  rt::OneshotSender<RunEnd> outcome;
  PyRef event;  // the run's event, when runs are observed (see run_event.hpp)
};

// PyEnsureFuture(): on `loop`, wraps each awaitable in a task of that loop and has PyTaskCompleter
// send the task's outcome. An entry that cannot be made a task goes to the loop's exception
// handler, and its outcome is never sent. Dropped uncalled, it sends no outcome at all.
// A big batch makes its tasks a slice at a time, the rest queued behind each slice's first steps.
// `permits` go back once the loop has taken the first steps of the last slice's tasks (checked by
// one call_soon after making them), or when that can no longer happen.
PyRef new_ensure_future(PyRef loop, std::vector<EnsureFutureEntry> entries, StartPermits permits);

// Makes now the tasks of every batch's rest still queued on the loop of `future`, so that an
// operation's outcome is never seen before a run handed over ahead of it has begun. Lock held.
void start_queued_rests(PyObject* future);

// Takes back the entries of a PyEnsureFuture that the loop refused, with their coroutines closed,
// so that each run can be told why it never started. Lock held.
std::vector<rt::OneshotSender<RunEnd>> refused_entries(PyObject* ensure_future);

// In a forked child (lock held): cancels the runs whose tasks the parent made but whose first
// steps are still queued on the child's copy of a loop, so that none of them begins there.
void cancel_unstarted_runs_after_fork();

}  // namespace tyvo::py
