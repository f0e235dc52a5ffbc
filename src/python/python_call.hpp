// A Python call to make later, perhaps many times, from worker threads.
#pragma once

#include "python/py_ref.hpp"

namespace tyvo::py {

// Held through a shared pointer, so that copies travel between threads without touching a
// Python reference count; released (deferred if need be) with the last holder.
struct PythonCall {
  PyRef callable;
  PyRef args;    // a tuple
  PyRef kwargs;  // a dict, or null for none
};

// Drops the call's references (lock held): at exit, see python/exit_release.hpp.
inline void release_references(PythonCall& call) {
  call.callable.reset();
  call.args.reset();
  call.kwargs.reset();
}

}  // namespace tyvo::py
