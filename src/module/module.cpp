// `import tyvo`: connects diagnostics to Python's logging, then fills in the public surface.
#include <Python.h>

#include <memory>

#include "python/interpreter.hpp"
#include "bridge/run_callbacks.hpp"
#include "bridge/log.hpp"
#include "bridge/python_logging.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "module/trigger.hpp"
#include "scheduler/scheduler_type.hpp"

namespace tyvo::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tyvo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The module is made once per process; later initialisations hand out the same object.
PyObject* the_module = nullptr;
PyInterpreterState* home_interpreter = nullptr;

// What a Python error set by a failed step looks like as a sentence.
std::string describe_pending_error() {
  std::string description = "unknown error";
#if PY_VERSION_HEX >= 0x030C0000
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), traceback_ref = PyRef::steal(traceback);
  PyRef error = PyRef::steal(value);
#endif
  if (!error) return description;
  PyRef text = PyRef::steal(PyObject_Str(error.get()));
  if (text) description = type_name(error.get()) + ": " + message_text(text.get());
  PyErr_Clear();
  return description;
}

void connect_logging() {
  static std::unique_ptr<PythonLoggingSink> sink;
  try {
    sink = std::make_unique<PythonLoggingSink>();
  } catch (const PythonErrorSet&) {
    set_fatal_error("Failed to initialize python logging: " + describe_pending_error());
    throw;
  }
  if (!log::install(sink.get(), log::Level::Debug)) {
    set_fatal_error("Failed to install logger: a logger is already installed in this process");
    throw PythonErrorSet{};
  }
  (void)sink.release();  // the sink serves until the process ends
}

void add_attribute(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObject(module, name, value) < 0) {
    PyRef drop = PyRef::steal(value);
    throw PythonErrorSet{};
  }
}

// A forked child goes on with copies of the parent's loops, and the runs queued on them belong to
// the parent: none of them may begin in the child.
PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, []() -> PyObject* {
    cancel_unstarted_runs_after_fork();
    Py_RETURN_NONE;
  });
}

void watch_forks() {
  static PyMethodDef definition = {"_tyvo_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};
  PyRef hook = PyRef::steal(require(PyCFunction_New(&definition, nullptr)));
  PyRef os = PyRef::steal(require(PyImport_ImportModule("os")));
  PyRef register_at_fork = PyRef::steal(require(PyObject_GetAttrString(os.get(), "register_at_fork")));
  PyRef no_args = PyRef::steal(require(PyTuple_New(0)));
  PyRef kwargs = PyRef::steal(require(Py_BuildValue("{s:O}", "after_in_child", hook.get())));
  PyRef registered = PyRef::steal(require(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())));
}

PyObject* initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (importing_for_a_sub_interpreter()) {
    raise(PyExc_ImportError, "tyvo can only be imported in the main interpreter");
  }
  if (the_module != nullptr) {
    if (interpreter != home_interpreter) {
      raise(PyExc_ImportError,
            "tyvo does not support sub-interpreters: it is already loaded in another interpreter");
    }
    return Py_NewRef(the_module);
  }
  if (interpreter != PyInterpreterState_Main()) {
    raise(PyExc_ImportError, "tyvo can only be imported in the main interpreter");
  }
  PyRef module = PyRef::steal(require(PyModule_Create(&module_definition)));
#ifdef Py_GIL_DISABLED
  require(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
  connect_logging();
  require(watch_finalisation());
  watch_forks();
  add_attribute(module.get(), "__version__", require(PyUnicode_FromString("0.1.0")));
  add_attribute(module.get(), "Scheduler", require(scheduler_class()));
  add_attribute(module.get(), "Trigger", require(trigger_class()));
  home_interpreter = interpreter;
  the_module = module.release();
  return Py_NewRef(the_module);
}

}  // namespace
}  // namespace tyvo::py

PyMODINIT_FUNC PyInit_tyvo() {
  return tyvo::py::guarded<PyObject*>(nullptr, [] { return tyvo::py::initialise(); });
}
