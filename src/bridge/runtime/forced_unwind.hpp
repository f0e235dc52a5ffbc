// Threads ended in place. pthread_exit() (which the interpreter calls on a thread that wants its
// lock while it finalises) unwinds the thread's stack with a forced unwind. A handler that catches
// it must rethrow it, or the process aborts ("exception not rethrown"), and no noexcept frame may
// lie on its way, or the process terminates.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tyvo::rt {

#if defined(__GLIBCXX__)
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
#else
// LLVM's libc++abi (the manylinux wheels' C++ runtime) sees a forced unwind as a foreign exception
// and cannot resume one with `throw;`: it starts a new search for a handler, finds none and
// terminates. This resumes it the way the unwinder expects; see forced_unwind.cpp.
void rethrow_if_forced_unwind();
#endif

}  // namespace tyvo::rt
