// A Python exception as a value that can travel between threads.
#pragma once

#include <Python.h>

#include <string>

#include "python/py_ref.hpp"

namespace tyvo::py {

struct PythonException {
  PyRef error;  // the exception instance

  // Takes the exception set on this thread (lock held); there must be one.
  static PythonException fetch();
  // "QualifiedTypeName: str(error)", or ": <exception str() failed>" after the name. Lock held.
  std::string render() const;
  // Sets it as this thread's pending exception again (lock held).
  void restore() &&;
};

// Whether the pending exception is one that callbacks on the loop's thread must let through, as
// asyncio's own do: a BaseException that is not an Exception (KeyboardInterrupt or SystemExit from
// a signal handler, say) and not tyvo's own fatal error. Lock held.
bool interrupt_pending();

// Prints the pending exception as an unhandled one would be (and records it as the last one).
void print_pending_exception();

}  // namespace tyvo::py
