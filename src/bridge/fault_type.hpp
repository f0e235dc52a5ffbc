// The exception an awaited operation raises when it ended by an internal fault instead of
// returning. A subclass of Exception, made once per process; an auxiliary module "_tyvo_bridge"
// (a second entry point of this library) exposes it for anyone who wants to catch it by name.
#pragma once

#include <Python.h>

#include <string>

namespace tyvo::py {

// Borrowed, immortal; throws PythonErrorSet if it cannot be made. Lock held.
PyObject* fault_type();
// A new instance: the fixed prefix and the fault's text ("unknown error" if empty).
PyObject* new_fault(const std::string& text);

}  // namespace tyvo::py
