// Sets aside the exception pending on this thread and puts it back at scope exit, so that a
// detour into Python (logging, say) neither loses nor reports it. Lock held throughout.
#pragma once

#include <Python.h>

namespace tyvo::py {

class SavedException {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedException() noexcept : exception_(PyErr_GetRaisedException()) {}
  ~SavedException() {
    if (exception_ != nullptr) PyErr_SetRaisedException(exception_);
  }
#else
  SavedException() noexcept { PyErr_Fetch(&type_, &exception_, &traceback_); }
  ~SavedException() {
    if (type_ != nullptr) PyErr_Restore(type_, exception_, traceback_);
  }
#endif
  SavedException(const SavedException&) = delete;
  SavedException& operator=(const SavedException&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* exception_ = nullptr;
};

}  // namespace tyvo::py
