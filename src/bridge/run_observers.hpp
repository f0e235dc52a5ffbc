// Whether anybody observes job runs, and where their events go.
//
// The job tasks ask `runs_observed()` once per run, before they build anything for an event, so
// that a program without observers pays one atomic load per run and nothing else.
#pragma once

#include "python/py_ref.hpp"

namespace tyvo::py {

bool runs_observed() noexcept;

// Installs the Python callables that receive events (lock held): `deliver(event)` for every
// event, `start(event)` (optional) as a run starts, in the run's context. A null `deliver` ends
// the observing.
void set_run_event_sinks(PyRef deliver, PyRef start);

// The installed callables, borrowed; null when none (lock held).
PyObject* run_event_deliver_sink() noexcept;
PyObject* run_event_start_sink() noexcept;

}  // namespace tyvo::py
