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
  std::string text = message_text(name.get());
  return text.empty() ? std::string(Py_TYPE(object)->tp_name) : text;
}

std::string message_text(PyObject* text) {
  if (text == nullptr || !PyUnicode_Check(text)) return {};
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, std::size_t(size));
  PyErr_Clear();  // lone surrogates, which UTF-8 cannot carry
  PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!escaped) {
    PyErr_Clear();
    return {};
  }
  return std::string(PyBytes_AS_STRING(escaped.get()), std::size_t(PyBytes_GET_SIZE(escaped.get())));
}

}  // namespace tyvo::py
