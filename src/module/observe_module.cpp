// A second entry point in the same library: loaded under the name "_tyvo_observe" (the
// tyvo_observe package does so), it connects observers to the job runs of every Scheduler of
// the process, which share this library's state. tyvo's own surface stays as it is.
#include <Python.h>

#include "bridge/run_event.hpp"
#include "bridge/run_observers.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/interpreter.hpp"

namespace tyvo::py {
namespace {

PyObject* optional_callable(PyObject* value, const char* parameter) {
  if (value == Py_None) return nullptr;
  if (!PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.100s", parameter, Py_TYPE(value)->tp_name);
    throw PythonErrorSet{};
  }
  return value;
}

// set_sinks(deliver, start): deliver(event) gets every event; start(event), if not None, is
// called as each run starts, in the run's context. set_sinks(None, None) stops the observing.
PyObject* set_sinks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"set_sinks", {"deliver", "start"}, 2};
    PyObject* bound[2];
    bind_arguments(signature, args, nargs, kwnames, bound);
    PyObject* deliver = optional_callable(bound[0], "deliver");
    PyObject* start = optional_callable(bound[1], "start");
    set_run_event_sinks(PyRef::borrow(deliver), PyRef::borrow(start));
    Py_RETURN_NONE;
  });
}

PyMethodDef methods[] = {
    {"set_sinks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_sinks)),
     METH_FASTCALL | METH_KEYWORDS, "set_sinks($module, deliver, start)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_tyvo_observe",
                          "Run events of tyvo's jobs; use the tyvo_observe package.",
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* initialise() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main() || importing_for_a_sub_interpreter()) {
    raise(PyExc_ImportError, "_tyvo_observe can only be imported in the main interpreter");
  }
  PyRef module = PyRef::steal(require(PyModule_Create(&definition)));
#ifdef Py_GIL_DISABLED
  require(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
  PyObject* type = reinterpret_cast<PyObject*>(run_event_type());
  require(PyModule_AddObjectRef(module.get(), "RunEvent", type));
  return module.release();
}

}  // namespace
}  // namespace tyvo::py

PyMODINIT_FUNC PyInit__tyvo_observe() {
  return tyvo::py::guarded<PyObject*>(nullptr, [] { return tyvo::py::initialise(); });
}
