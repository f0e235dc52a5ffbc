#include "bridge/asyncio_api.hpp"

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py::asyncio {
namespace {

// Immortal on purpose: these are used until the very end and must not be released during
// interpreter teardown, when no lock can be taken.
PyObject* lookup(const char* module_name, const char* attribute) {
  PyRef module = PyRef::steal(require(PyImport_ImportModule(module_name)));
  return require(PyObject_GetAttrString(module.get(), attribute));
}

}  // namespace

PyObject* get_running_loop() {
  static PyObject* function = nullptr;
  if (function == nullptr) function = lookup("asyncio", "get_running_loop");
  return function;
}

PyObject* ensure_future() {
  static PyObject* function = nullptr;
  if (function == nullptr) function = lookup("asyncio", "ensure_future");
  return function;
}

PyObject* cancelled_error() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = lookup("asyncio", "CancelledError");
  return type;
}

PyObject* copy_context() {
  static PyObject* function = nullptr;
  if (function == nullptr) function = lookup("contextvars", "copy_context");
  return function;
}

PyObject* task_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = lookup("asyncio", "Task");
  return type;
}

}  // namespace tyvo::py::asyncio
