// The small callable objects the bridge hands to asyncio. Each runs on the event loop's thread.
#pragma once

#include "bridge/coroutine_outcome.hpp"
#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "module/py_ref.hpp"

namespace tyvo::py {

// PyDoneCallback(future): fires `cancellation` if the operation's future was cancelled.
PyRef new_done_callback(rt::OneshotSender<rt::Signal> cancellation);

// CheckedCompletor(future, method, value): calls method(value) unless the future was cancelled.
PyRef new_checked_completor();

// PyEnsureFuture(): wraps `awaitable` in a task of the running loop and has PyTaskCompleter
// send the task's outcome.
PyRef new_ensure_future(PyRef awaitable, rt::OneshotSender<CoroutineOutcome> outcome);

}  // namespace tyvo::py
