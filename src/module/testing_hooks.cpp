// A second entry point in the same library, for tyvo's own tests only: loading the library under
// the name "_tyvo_testing" gives a module that shares tyvo's process-wide state (the log sink
// above all) without adding anything to tyvo's public surface. Compiled in only with
// TYVO_TEST_HOOKS=ON, so the wheels users install carry no trace of it.
#include <Python.h>

#include "bridge/log.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"

namespace tyvo::py {
namespace {

// log(level, target, message): writes one native record, level 1 (error) to 5 (trace).
PyObject* write_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"log", {"level", "target", "message"}, 3};
    PyObject* bound[3];
    bind_arguments(signature, args, nargs, kwnames, bound);
    const long level = PyLong_AsLong(bound[0]);
    if (level == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    if (level < 1 || level > 5) raise(PyExc_ValueError, "level must be 1 (error) to 5 (trace)");
    const std::string target = utf8_argument(bound[1], "target");
    const std::string message = utf8_argument(bound[2], "message");
    Py_BEGIN_ALLOW_THREADS  // records are written by threads that do not hold the lock
        log::emit(static_cast<log::Level>(level), target, __FILE__, __LINE__, "{}", message);
    Py_END_ALLOW_THREADS Py_RETURN_NONE;
  });
}

PyMethodDef testing_methods[] = {{"log", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_log)),
                                  METH_FASTCALL | METH_KEYWORDS, "log($module, level, target, message)\n--\n\n"},
                                 {nullptr, nullptr, 0, nullptr}};

PyModuleDef testing_definition = {PyModuleDef_HEAD_INIT,
                                  "_tyvo_testing",
                                  "Test hooks of tyvo.",
                                  -1,
                                  testing_methods,
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr};

}  // namespace
}  // namespace tyvo::py

PyMODINIT_FUNC PyInit__tyvo_testing() { return PyModule_Create(&tyvo::py::testing_definition); }
