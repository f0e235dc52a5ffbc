#include "bridge/fault_type.hpp"

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

PyObject* fault_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = require(PyErr_NewExceptionWithDoc("_tyvo_bridge.OperationFault",
                                             "A tyvo operation ended by an internal fault.", PyExc_Exception,
                                             nullptr));
  }
  return type;
}

PyObject* new_fault(const std::string& text) {
  const std::string message =
      "tyvo operation failed: " + (text.empty() ? std::string("unknown error") : text);
  return PyObject_CallFunction(fault_type(), "s#", message.data(), Py_ssize_t(message.size()));
}

}  // namespace tyvo::py

namespace {
PyModuleDef bridge_module = {
    PyModuleDef_HEAD_INIT, "_tyvo_bridge", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}  // namespace

PyMODINIT_FUNC PyInit__tyvo_bridge() {
  return tyvo::py::guarded<PyObject*>(nullptr, [] {
    tyvo::py::PyRef module = tyvo::py::PyRef::steal(tyvo::py::require(PyModule_Create(&bridge_module)));
    PyObject* type = tyvo::py::fault_type();
    tyvo::py::require(PyModule_AddObjectRef(module.get(), "OperationFault", type));
    return module.release();
  });
}
