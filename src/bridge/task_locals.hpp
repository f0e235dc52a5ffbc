// The host event loop and the contextvars context that a scheduler's jobs run with.
#pragma once

#include <memory>

#include "module/py_ref.hpp"

namespace tyvo::py {

struct TaskLocals {
  PyRef loop;
  PyRef context;  // a contextvars.Context, or None
};

// The task locals of the operation whose code is running, if any; otherwise the running loop of
// the calling thread and a copy of the current context. Lock held; throws PythonErrorSet (with
// asyncio's RuntimeError when no loop is running).
std::shared_ptr<const TaskLocals> capture_task_locals();

}  // namespace tyvo::py
