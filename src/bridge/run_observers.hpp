// Whether job runs are observed, and where their events go.
//
// The job tasks ask `runs_observed()` once per run, before they build anything for an event or
// keep any job status, so that a program that never loaded tyvo_observe pays one atomic load per
// run and nothing else. Once it is loaded, every run keeps its job's status and is tracked until
// its end (for tyvo_observe.jobs() and drain()); its event goes to the sinks, if there are any.
#pragma once

#include "python/py_ref.hpp"

namespace tyvo::py {

bool runs_observed() noexcept;

// From now on for good (tyvo_observe's entry point is loaded).
void observe_runs() noexcept;

// Installs the Python callables that receive events (lock held): `deliver(event)` for every
// event, `start(event)` (optional) as a run starts, in the run's context. A null `deliver` ends
// the observing.
void set_run_event_sinks(PyRef deliver, PyRef start);

// The installed callables, borrowed; null when none (lock held).
PyObject* run_event_deliver_sink() noexcept;
PyObject* run_event_start_sink() noexcept;

}  // namespace tyvo::py
