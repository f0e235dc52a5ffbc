// The layout of a tyvo_cron.Pattern, shared by the class and its occurrence iterator.
#pragma once

#include <Python.h>

#include "cron/cron.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

struct PatternValue {
  cron::Pattern pattern;
  PyRef expr;       // the text, as given
  PyRef zone_info;  // zoneinfo.ZoneInfo of the pattern's zone, or null for UTC
};

struct PatternObject {
  PyObject_HEAD
  PatternValue value;
};

inline const PatternValue& pattern_value(PyObject* self) { return reinterpret_cast<PatternObject*>(self)->value; }

// The occurrence as the datetime the pattern hands out: in UTC, or on its zone's wall clock.
PyObject* occurrence_datetime(const PatternValue& value, std::int64_t seconds);

}  // namespace tyvo::py
