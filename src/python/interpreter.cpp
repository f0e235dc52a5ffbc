#include "python/interpreter.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include <pthread.h>

#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"
#include "python/errors.hpp"
#include "python/exit_release.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

// Set by the atexit hook. From then on native threads leave Python alone: on 3.11-3.13 a thread
// that asks for the lock during finalisation is ended in place, which C++ frames do not survive.
std::atomic<bool> program_ending{false};
// Native threads between their liveness check and the release of the lock. The atexit hook waits
// for them to leave before finalisation may begin.
std::atomic<int> threads_entering{0};
// Set once the atexit hook has released what the runtime held. Until then a release without the
// lock is queued even while the program is ending: a worker that leaves Python during the hook's
// wait often drops the last owner of a job's call, and the hook's drain must still see it.
std::atomic<bool> exit_releases_done{false};

// Native threads give up waiting for the atexit hook's wait after this long: a worker may be stuck
// inside Python (a finaliser that sleeps, say), and the program must still end.
constexpr auto exit_wait_bound = std::chrono::seconds(5);
// How long a request to drain deferred releases waits for more of them to gather.
constexpr auto drain_gathering = std::chrono::milliseconds(20);

std::atomic<bool> drain_requested{false};

// The thread state a native thread keeps for its whole life, and whether it holds the lock now.
thread_local PyThreadState* worker_thread_state = nullptr;
thread_local bool worker_holds_lock = false;

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

PyObject* on_program_exit(PyObject*, PyObject*) {
  program_ending.store(true);
  // Let threads that are already inside finish their short step; none can enter any more.
  Py_BEGIN_ALLOW_THREADS const auto give_up = std::chrono::steady_clock::now() + exit_wait_bound;
  while (threads_entering.load() != 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS;
  // No worker is inside Python now, and none will be again: what the runtime still holds can go
  // while the interpreter is whole, so that module teardown and finalisers run as without tyvo.
  // A worker still inside (the wait gave up) may be using any of it: then it all stays.
  if (threads_entering.load() == 0) {
    return guarded<PyObject*>(nullptr, [] {
      release_registered_at_exit();
      drain_deferred_releases();
      exit_releases_done.store(true);
      drain_deferred_releases();  // what was queued between the first drain and the flag
      Py_RETURN_NONE;
    });
  }
  Py_RETURN_NONE;
}

rt::Task<void> drain_soon() {
  co_await rt::sleep_for(drain_gathering);
  drain_requested.store(false);  // releases queued from now on ask again
  // Both seq_cst (store, then load of the other flag; defer_release does the mirror image): a
  // release queued meanwhile is either seen here or asks for a drain of its own.
  if (!deferred_releases_pending()) co_return;  // a lock holder got there first
  InterpreterLock lock;  // drains as it takes the lock
}

PyMethodDef on_program_exit_def = {"_tyvo_on_exit", on_program_exit, METH_NOARGS, nullptr};

// fork() keeps only the calling thread: no worker is entering the interpreter in the child.
void reset_after_fork_in_child() {
  threads_entering.store(0);
  exit_releases_done.store(false);
  drain_requested.store(false);
  worker_thread_state = nullptr;
  worker_holds_lock = false;
  forget_deferred_releases_after_fork();
}

}  // namespace

int watch_finalisation() {
  pthread_atfork(nullptr, nullptr, &reset_after_fork_in_child);
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  PyRef hook = PyRef::steal(PyCFunction_New(&on_program_exit_def, nullptr));
  if (!hook) return -1;
  PyRef result = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return result ? 0 : -1;
}

void request_deferred_drain() {
  if (drain_requested.exchange(true)) return;
  try {
    rt::spawn(drain_soon());
  } catch (...) {
    drain_requested.store(false);  // out of memory: a later release or lock holder drains
    throw;
  }
}

bool interpreter_alive() noexcept { return !program_ending.load() && !interpreter_finalizing(); }

bool deferred_releases_accepted() noexcept {
  return !exit_releases_done.load() && !interpreter_finalizing();
}

namespace {

// The thread state attached to the calling thread, or null; never fails, never needs the lock.
// On 3.11 this is the lock holder's state process-wide, on 3.12+ the calling thread's own.
PyThreadState* attached_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

}  // namespace

bool lock_held_here() noexcept {
  if (worker_thread_state != nullptr) return worker_holds_lock;
  // Not PyGILState_Check(): once any sub-interpreter has existed it answers yes on every thread,
  // and a worker believing it would call into Python without a thread state. The lock is ours
  // when the attached state is this thread's own state of the main interpreter: the test that
  // PyGILState_Check() makes, without its shortcut. On 3.11 the attached state is the holder's
  // on whatever thread, hence the comparison rather than a null check.
  PyThreadState* attached = attached_thread_state();
  return attached != nullptr && attached == PyGILState_GetThisThreadState();
}

InterpreterLock::InterpreterLock() {
  if (lock_held_here()) {
    mode_ = Mode::AlreadyHeld;
    return;
  }
  threads_entering.fetch_add(1);
  if (!interpreter_alive()) {
    threads_entering.fetch_sub(1);
    return;
  }
  if (worker_thread_state == nullptr && PyGILState_GetThisThreadState() != nullptr) {
    // A Python-created thread that released the lock: use its own thread state.
    gil_state_ = PyGILState_Ensure();
    mode_ = Mode::GilState;
  } else {
    if (worker_thread_state == nullptr) {
      worker_thread_state = PyThreadState_New(PyInterpreterState_Main());
    }
    PyEval_RestoreThread(worker_thread_state);
    worker_holds_lock = true;
    mode_ = Mode::WorkerState;
  }
  drain_deferred_releases();
}

InterpreterLock::~InterpreterLock() {
  switch (mode_) {
    case Mode::NotHeld:
    case Mode::AlreadyHeld:
      return;
    case Mode::GilState:
      PyGILState_Release(gil_state_);
      break;
    case Mode::WorkerState:
      worker_holds_lock = false;
      PyEval_SaveThread();
      break;
  }
  threads_entering.fetch_sub(1);
}

bool importing_for_a_sub_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  // Every import of ours runs under the import system's own Python frames, except that one: its
  // thread state was made for the moment, and has no frame at all.
  return !PyRef::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
#else
  return false;
#endif
}

}  // namespace tyvo::py
