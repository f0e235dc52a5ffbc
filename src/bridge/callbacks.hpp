// The callbacks that carry an operation's outcome to its future. Each runs on the event loop's
// thread; the runs' own callbacks are in run_callbacks.hpp.
#pragma once

#include "bridge/runtime/channel.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// PyDoneCallback(future): fires `cancellation` if the operation's future was cancelled.
PyRef new_done_callback(rt::OneshotSender<rt::Signal> cancellation);

// CheckedCompletor(future, method, value): calls method(value) unless the future was cancelled.
// Every run handed to the future's loop before then has its task first (see start_queued_rests).
PyRef new_checked_completor();

}  // namespace tyvo::py
