// The Python classes Trigger, Trigger.Cron ("Trigger_Cron") and Trigger.Interval ("Trigger_Interval").
#pragma once

#include <Python.h>

#include "module/trigger_value.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// Creates the three classes (once per process) and returns the base class, a new reference.
PyObject* trigger_class();

// A copy of the value of any Trigger instance; TypeError naming `parameter` for anything else.
TriggerValue extract_trigger(PyObject* object, const char* parameter);

// A new Trigger.Cron or Trigger.Interval holding `value` (lock held).
PyRef trigger_object(const TriggerValue& value);

}  // namespace tyvo::py
