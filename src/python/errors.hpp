// How failures cross between C++ and the interpreter.
//
// Inside the module a C++ exception carries every failure: PythonErrorSet means "a Python
// exception is already set". Each entry point from the interpreter runs its body through
// `guarded`, so that no C++ exception ever unwinds into CPython: a Python error comes back as
// NULL/-1, anything else becomes the fatal-error exception.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "bridge/runtime/forced_unwind.hpp"

namespace tyvo::py {

struct PythonErrorSet final : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Throws PythonErrorSet when a C API call reported failure.
inline PyObject* require(PyObject* result) {
  if (result == nullptr) throw PythonErrorSet{};
  return result;
}
inline int require(int status) {
  if (status < 0) throw PythonErrorSet{};
  return status;
}

// Sets a Python exception and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);
// A failure the module detects itself: always the built-in Exception, never a subclass.
[[noreturn]] inline void raise_plain(std::string_view message) { raise(PyExc_Exception, message); }

// The class of the exception raised for a broken internal invariant. Derived directly from
// BaseException so that `except Exception` does not swallow it. Created once, on first use.
PyObject* fatal_error_type();
// Sets the fatal-error exception with the given message (lock held).
void set_fatal_error(std::string_view message);

// Turns whatever `body` throws into a set Python exception and returns `failure`, except a forced
// unwind: the interpreter ends a thread that wants its lock while it finalises, and that thread's
// unwinding must pass (hence no noexcept here either).
template <class Result, class Body>
Result guarded(Result failure, Body&& body) {
  try {
    return body();
  } catch (const PythonErrorSet&) {
  } catch (const std::exception& error) {
    set_fatal_error(error.what());
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    set_fatal_error("unknown error");
  }
  return failure;
}

// The type's name as Python shows it in messages (`int`, `Trigger_Cron`).
std::string type_name(PyObject* object);

// The whole text of a `str` as UTF-8, for a message: NUL characters kept, lone surrogates written
// as backslash escapes. Empty, with no error left set, for anything else. Lock held.
std::string message_text(PyObject* text);

}  // namespace tyvo::py
