#include "bridge/run_observers.hpp"

#include <atomic>

namespace tyvo::py {
namespace {

// Set once, as tyvo_observe loads; read by job tasks without the interpreter lock. A run that
// reads it stale just goes unobserved.
std::atomic<bool> observed{false};

// Held until replaced; the process-wide pair, so never released at exit by anyone else.
PyRef& deliver_sink() {
  static PyRef* sink = new PyRef;
  return *sink;
}
PyRef& start_sink() {
  static PyRef* sink = new PyRef;
  return *sink;
}

}  // namespace

bool runs_observed() noexcept { return observed.load(std::memory_order_relaxed); }

void observe_runs() noexcept { observed.store(true, std::memory_order_relaxed); }

void set_run_event_sinks(PyRef deliver, PyRef start) {
  if (!deliver) start.reset();
  // Swapped in before the old ones go: their release may run Python code that reads the sinks.
  std::swap(deliver_sink(), deliver);
  std::swap(start_sink(), start);
}

PyObject* run_event_deliver_sink() noexcept { return deliver_sink().get(); }
PyObject* run_event_start_sink() noexcept { return start_sink().get(); }

}  // namespace tyvo::py
