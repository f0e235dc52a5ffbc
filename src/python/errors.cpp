#include "python/errors.hpp"

#include "python/py_ref.hpp"

namespace tyvo::py {

void raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PythonErrorSet{};
}

PyObject* fatal_error_type() {
  // Lives as long as the process: it may be raised until the very end.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "tyvo.FatalError", "An internal invariant of tyvo was broken.", PyExc_BaseException, nullptr);
  return type;
}

void set_fatal_error(std::string_view message) {
  PyObject* type = fatal_error_type();
  if (type == nullptr) return;  // creating the class failed and left its own exception set
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Py_TYPE(object)->tp_name;
  }
  return utf8;
}

}  // namespace tyvo::py
