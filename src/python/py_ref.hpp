// The one owner of Python references in tyvo.
//
// Rules of use:
//  1. Every strong reference the module keeps lives in a PyRef; nothing else calls Py_DECREF.
//  2. Ownership is explicit at the call site: PyRef::steal() for a new reference handed to us,
//     PyRef::borrow() to take a reference of our own to a borrowed pointer.
//  3. A PyRef may be destroyed on any thread. Without the interpreter lock the release is queued
//     and carried out soon (a worker takes the lock for it) or the next time the module holds
//     the lock (drain_deferred_releases()).
//  4. Copying a PyRef (Py_INCREF) needs the interpreter lock; moving it does not.
//  5. Once the program's exit hook has made its last drain, a release without the lock is dropped:
//     the object dies with the process. With the lock (finalisers and collections during teardown)
//     it is still made.
#pragma once

#include <Python.h>

#include <utility>

namespace tyvo::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller (for returning to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Not noexcept: a release may run finalisers, whose thread the interpreter may end in place.
  void reset();

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases the references queued by threads that did not hold the lock. Call with the lock held.
// Not noexcept: finalisers run here, and their thread may be ended in place.
void drain_deferred_releases();

// Whether releases are queued (a hint: another thread may drain them at any moment).
bool deferred_releases_pending() noexcept;

// In a forked child: drops the queue of the parent, whose lock may be held by a vanished thread.
void forget_deferred_releases_after_fork() noexcept;

}  // namespace tyvo::py
