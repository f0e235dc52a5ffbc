// The iterator of Pattern.iter(start): each occurrence strictly after the one before.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tyvo::py {

// A new iterator over the occurrences of `pattern` strictly after `after` (whole seconds).
PyObject* new_occurrence_iterator(PyObject* pattern, std::int64_t after);

// Creates the iterator class; once, at module initialisation.
void create_occurrence_iterator_class();

}  // namespace tyvo::py
