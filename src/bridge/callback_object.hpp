// What every callable object the bridge hands to asyncio is made of: a Python class per kind of
// callback, whose objects carry a native state and run it when called. Shared by the bridge's
// callback files only.
#pragma once

#include <new>
#include <utility>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py::callback_object {

// One Python class per callback kind; State is constructed in place after the header.
template <class State>
struct CallbackObject {
  PyObject_HEAD
  State state;
};

// What a callback's state does before it goes, beyond its destructor (lock held).
template <class State>
void before_release(State&) {}

// A state that holds Python objects able to close a cycle through the callback says so with
// `static constexpr bool in_cycles = true`: its class then takes part in cyclic collection,
// visiting them with traverse_state and dropping them with clear_state.
template <class State>
concept in_cycles = State::in_cycles;

template <class State>
int callback_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_state(reinterpret_cast<CallbackObject<State>*>(self)->state, visit, arg);
}

template <class State>
int callback_clear(PyObject* self) {
  clear_state(reinterpret_cast<CallbackObject<State>*>(self)->state);
  return 0;
}

template <class State>
void callback_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if constexpr (in_cycles<State>) PyObject_GC_UnTrack(self);
  before_release(reinterpret_cast<CallbackObject<State>*>(self)->state);
  reinterpret_cast<CallbackObject<State>*>(self)->state.~State();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class State>
PyTypeObject* callback_type(const char* name, ternaryfunc call) {
  PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(call)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(callback_dealloc<State>)},
                         {0, nullptr},
                         {0, nullptr},
                         {0, nullptr}};
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if constexpr (in_cycles<State>) {
    slots[2] = {Py_tp_traverse, reinterpret_cast<void*>(callback_traverse<State>)};
    slots[3] = {Py_tp_clear, reinterpret_cast<void*>(callback_clear<State>)};
    flags |= Py_TPFLAGS_HAVE_GC;
  }
  PyType_Spec layout = {name, sizeof(CallbackObject<State>), 0, flags, slots};
  return reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&layout)));
}

template <class State>
PyRef new_callback(PyTypeObject* type, State state) {
  PyObject* self = require(type->tp_alloc(type, 0));
  new (&reinterpret_cast<CallbackObject<State>*>(self)->state) State(std::move(state));
  return PyRef::steal(self);
}

template <class State>
State& state_of(PyObject* self) {
  return reinterpret_cast<CallbackObject<State>*>(self)->state;
}

// The one positional argument asyncio passes to done-callbacks and that we pass to ours.
inline PyObject* single_argument(PyObject* args, Py_ssize_t index) {
  if (!PyTuple_Check(args) || PyTuple_GET_SIZE(args) <= index) {
    raise(PyExc_TypeError, "tyvo callback called with too few arguments");
  }
  return PyTuple_GET_ITEM(args, index);
}

inline bool future_cancelled(PyObject* future) {
  PyRef answer = PyRef::steal(require(PyObject_CallMethod(future, "cancelled", nullptr)));
  return require(PyObject_IsTrue(answer.get())) != 0;
}

inline bool future_cancelled_quietly(PyObject* future) {
  try {
    return future_cancelled(future);
  } catch (const PythonErrorSet&) {
    PyErr_Clear();
    return true;
  }
}

}  // namespace tyvo::py::callback_object
