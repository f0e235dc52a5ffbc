// Threads ended in place. pthread_exit() (which the interpreter calls on a thread that wants its
// lock while it finalises) unwinds the thread's stack with abi::__forced_unwind. A handler that
// catches it must rethrow it, or the process aborts ("exception not rethrown"), and no noexcept
// frame may lie on its way, or the process terminates.
#pragma once

#include <cxxabi.h>

namespace tyvo::rt {

// Inside a catch-all handler: rethrows the exception being handled if it is a forced unwind.
// A forced unwind has no exception object, so the undefined-behaviour sanitizer takes the catch
// parameter below for a null reference; this function alone is exempt from that check.
__attribute__((no_sanitize("null"))) inline void rethrow_if_forced_unwind() {
  try {
    throw;
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
  }
}

}  // namespace tyvo::rt
