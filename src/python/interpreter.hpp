// Taking the interpreter lock from native threads, safely across interpreter finalisation.
#pragma once

#include <Python.h>

namespace tyvo::py {

// Installs the atexit hook that stops native threads from entering the interpreter once the
// program is ending. Call once, with the lock held, during module initialisation.
int watch_finalisation();

// Has a worker take the lock soon to release what threads without the lock queued (coalesced:
// one request at a time). Any thread; no lock needed.
void request_deferred_drain();

// False from the moment the program starts ending (atexit) or the interpreter finalises.
bool interpreter_alive() noexcept;

// Whether a release without the lock may still be queued: from the start of the program until
// the atexit hook has drained the queue for the last time, unless the interpreter finalises first.
bool deferred_releases_accepted() noexcept;

// Whether the calling thread holds the interpreter lock.
bool lock_held_here() noexcept;

// Since 3.13 the import system runs a single-phase module's initialisation in the main
// interpreter on behalf of a sub-interpreter that imports it, on a thread state made for the
// moment. True there: that import is the sub-interpreter's, to be refused like one before
// anything of the main interpreter's is touched. Lock held.
bool importing_for_a_sub_interpreter() noexcept;

// Holds the interpreter lock on a thread that does not normally run Python (a worker thread).
// Acquisition fails, instead of blocking forever or killing the thread, once the program is
// ending; check `held()` before touching Python. Each worker thread keeps one thread state.
// Not noexcept: a thread the interpreter ends in place unwinds through here.
class InterpreterLock {
 public:
  InterpreterLock();
  ~InterpreterLock();
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

  bool held() const noexcept { return mode_ != Mode::NotHeld; }

 private:
  enum class Mode { NotHeld, WorkerState, AlreadyHeld, GilState };
  Mode mode_ = Mode::NotHeld;
  PyGILState_STATE gil_state_{};
};

}  // namespace tyvo::py
