// The asyncio and contextvars callables the bridge uses, looked up once per process.
#pragma once

#include <Python.h>

namespace tyvo::py::asyncio {

// Each returns a borrowed reference kept for the life of the process; throws PythonErrorSet if
// the first lookup fails. Lock held.
PyObject* get_running_loop();
PyObject* ensure_future();
PyObject* cancelled_error();
PyObject* copy_context();
PyObject* task_type();  // asyncio.Task

}  // namespace tyvo::py::asyncio
