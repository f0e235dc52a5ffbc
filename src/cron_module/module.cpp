// `import tyvo_cron`: cron patterns for any Python program, read exactly as tyvo's scheduler
// reads them.
#include <Python.h>

#include "cron_module/instants.hpp"
#include "cron_module/occurrence_iterator.hpp"
#include "cron_module/pattern_type.hpp"
#include "python/errors.hpp"
#include "python/interpreter.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tyvo_cron", "Cron patterns: next, previous and matching occurrences.", 0, nullptr,
    nullptr, nullptr, nullptr, nullptr};

// The classes are process-wide: the module is made once per process and handed out again.
PyObject* the_module = nullptr;

void add_attribute(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObject(module, name, value) < 0) {
    PyRef drop = PyRef::steal(value);
    throw PythonErrorSet{};
  }
}

PyObject* initialise() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main() || importing_for_a_sub_interpreter()) {
    raise(PyExc_ImportError, "tyvo_cron can only be imported in the main interpreter");
  }
  if (the_module != nullptr) return Py_NewRef(the_module);
  PyRef module = PyRef::steal(require(PyModule_Create(&module_definition)));
#ifdef Py_GIL_DISABLED
  require(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
  import_datetime();
  create_occurrence_iterator_class();
  add_attribute(module.get(), "__version__", require(PyUnicode_FromString("0.1.0")));
  add_attribute(module.get(), "Pattern", require(pattern_class()));
  the_module = module.release();
  return Py_NewRef(the_module);
}

}  // namespace
}  // namespace tyvo::py

PyMODINIT_FUNC PyInit_tyvo_cron() {
  return tyvo::py::guarded<PyObject*>(nullptr, [] { return tyvo::py::initialise(); });
}
