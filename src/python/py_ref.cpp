#include "python/py_ref.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "python/interpreter.hpp"

namespace tyvo::py {
namespace {

// References dropped by threads without the lock. The mutex is never held while touching Python.
// Both are leaked on purpose: they outlive static teardown, and a forked child replaces them.
std::mutex* deferred_mutex = new std::mutex();
std::vector<PyObject*>* deferred = new std::vector<PyObject*>();
std::atomic<bool> deferred_pending{false};

void defer_release(PyObject* object) noexcept {
  try {
    {
      std::lock_guard lock(*deferred_mutex);
      deferred->push_back(object);
      // seq_cst, like the exchange after it: pairs with drain_soon(), which clears its request and
      // then looks at this flag. Weaker, both could miss the other and leave the release undrained.
      deferred_pending.store(true);
    }
    // Without it, whatever a finished job or scheduler released (a loop, a context and every
    // value in it) would stay pinned until some later call into tyvo.
    request_deferred_drain();
  } catch (...) {
    // Out of memory: leaking one reference beats corrupting the interpreter.
  }
}

}  // namespace

void forget_deferred_releases_after_fork() noexcept {
  // A worker thread of the parent may have held the mutex at the fork; it does not exist here.
  deferred_mutex = new std::mutex();
  deferred = new std::vector<PyObject*>();
  deferred_pending.store(false);
}

void PyRef::reset() {
  PyObject* object = std::exchange(object_, nullptr);
  if (object == nullptr) return;
  if (lock_held_here()) {
    Py_DECREF(object);
  } else if (deferred_releases_accepted()) {
    defer_release(object);
  }
}

// seq_cst: see defer_release(); drain_soon() loads this right after it clears its request.
bool deferred_releases_pending() noexcept { return deferred_pending.load(); }

void drain_deferred_releases() {
  if (!deferred_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(*deferred_mutex);
    batch.swap(*deferred);
    deferred_pending.store(false, std::memory_order_relaxed);
  }
  // A release can run arbitrary finalisers, which may drop further references: those go
  // straight through, since this thread holds the lock.
  for (PyObject* object : batch) Py_DECREF(object);
}

}  // namespace tyvo::py
