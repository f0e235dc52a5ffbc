// A Python exception as a value that can travel between threads.
#pragma once

#include <Python.h>

#include <string>

#include "module/py_ref.hpp"

namespace tyvo::py {

struct PythonException {
  PyRef error;  // the exception instance

  // Takes the exception set on this thread (lock held); there must be one.
  static PythonException fetch();
  // "QualifiedTypeName: str(error)", or ": <exception str() failed>" after the name. Lock held.
  std::string render() const;
};

// Prints the pending exception as an unhandled one would be (and records it as the last one).
void print_pending_exception();

}  // namespace tyvo::py
