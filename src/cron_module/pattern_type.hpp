// tyvo_cron.Pattern: a parsed cron pattern as an immutable Python value.
#pragma once

#include <Python.h>

namespace tyvo::py {

// Creates the class (once); a new reference.
PyObject* pattern_class();

}  // namespace tyvo::py
