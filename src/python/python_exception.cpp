#include "python/python_exception.hpp"

#include "python/errors.hpp"

namespace tyvo::py {

PythonException PythonException::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  return PythonException{PyRef::steal(PyErr_GetRaisedException())};
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  PyRef type_ref = PyRef::steal(type), traceback_ref = PyRef::steal(traceback);
  return PythonException{PyRef::steal(value)};
#endif
}

std::string PythonException::render() const {
  PyRef qualname =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), "__qualname__"));
  std::string text = message_text(qualname.get());
  if (text.empty()) text = Py_TYPE(error.get())->tp_name;
  PyErr_Clear();
  PyRef message = PyRef::steal(PyObject_Str(error.get()));
  if (message && PyUnicode_Check(message.get())) {
    text.append(": ").append(message_text(message.get()));  // whole, NUL characters included
  } else {
    text.append(": <exception str() failed>");
  }
  PyErr_Clear();
  return text;
}

void PythonException::restore() && {
  PyObject* value = error.release();
  if (value == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

bool interrupt_pending() {
  if (!PyErr_Occurred()) return false;
  if (PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyObject* fatal = fatal_error_type();
  return fatal == nullptr || !PyErr_ExceptionMatches(fatal);
}

void print_pending_exception() {
  if (PyErr_Occurred()) PyErr_Print();
}

}  // namespace tyvo::py
