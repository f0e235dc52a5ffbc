// Argument binding shared by every method and constructor of the module: positional-or-keyword
// parameters, trailing defaults, and the standard wording for calls that do not fit.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>
#include <string>

namespace tyvo::py {

struct Signature {
  const char* function;                      // as named in messages, e.g. "Scheduler.schedule"
  std::initializer_list<const char*> names;  // every parameter is positional-or-keyword
  std::size_t required;                      // the first `required` parameters have no default
};

// Bind a vectorcall-style call. `bound` has one slot per parameter and receives borrowed
// references, or nullptr for an omitted optional parameter. Raises TypeError on a misfit.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);
// The same for a tuple-and-dict call (tp_new).
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// TypeError "argument 'NAME': 'TYPE' object cannot be converted to 'TARGET'".
[[noreturn]] void raise_conversion_error(const char* parameter, PyObject* value, const char* target);

// A `str` argument as UTF-8 (UnicodeEncodeError for lone surrogates passes through).
std::string utf8_argument(PyObject* value, const char* parameter);

}  // namespace tyvo::py
