// The Python class Scheduler.
#pragma once

#include <Python.h>

namespace tyvo::py {

// Creates the class once per process and returns it, a new reference (NULL with an exception set).
PyObject* scheduler_class();

}  // namespace tyvo::py
