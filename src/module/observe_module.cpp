// A second entry point in the same library: loaded under the name "_tyvo_observe" (the
// tyvo_observe package does so), it connects observers to the job runs of every Scheduler of
// the process, which share this library's state. tyvo's own surface stays as it is.
#include <Python.h>

#include <chrono>
#include <cstring>
#include <variant>

#include "bridge/run_event.hpp"
#include "bridge/run_observers.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/interpreter.hpp"
#include "module/trigger.hpp"
#include "scheduler/fire_delay.hpp"
#include "scheduler/scheduler_type.hpp"

namespace tyvo::py {
namespace {

PyObject* optional_callable(PyObject* value, const char* parameter) {
  if (value == Py_None) return nullptr;
  if (!PyCallable_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.100s", parameter, Py_TYPE(value)->tp_name);
    throw PythonErrorSet{};
  }
  return value;
}

// set_sinks(deliver, start): deliver(event) gets every event; start(event), if not None, is
// called as each run starts, in the run's context. set_sinks(None, None) stops the observing.
PyObject* set_sinks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"set_sinks", {"deliver", "start"}, 2};
    PyObject* bound[2];
    bind_arguments(signature, args, nargs, kwnames, bound);
    PyObject* deliver = optional_callable(bound[0], "deliver");
    PyObject* start = optional_callable(bound[1], "start");
    set_run_event_sinks(PyRef::borrow(deliver), PyRef::borrow(start));
    Py_RETURN_NONE;
  });
}

PyObject* optional_datetime(const std::optional<std::chrono::system_clock::time_point>& instant) {
  if (!instant) Py_RETURN_NONE;
  return utc_datetime(*instant);
}

// A cron job's next fire time while a run is in progress: its task searches it only once the run
// has ended, after the occurrence the run was due at and after now.
std::optional<std::chrono::system_clock::time_point> next_cron_fire(const CronTrigger& trigger,
                                                                    const JobStatusView& view) {
  try {
    std::optional<std::chrono::sys_seconds> last;
    if (view.last_due) last = std::chrono::floor<std::chrono::seconds>(*view.last_due);
    return next_occurrence(trigger, std::chrono::system_clock::now(), last);
  } catch (const std::exception&) {
    return std::nullopt;  // no occurrence left
  }
}

// job_states(scheduler): one tuple per job, in registration order: (job_id, trigger, active,
// running, next_fire, last_due, last_started, last_ended, last_outcome).
PyObject* job_states(PyObject*, PyObject* scheduler) {
  return guarded<PyObject*>(nullptr, [&] {
    const auto jobs = registered_jobs(scheduler);
    PyRef rows = PyRef::steal(require(PyList_New(0)));
    for (const auto& job : jobs) {
      JobStatusView view = job.status ? job.status->view() : JobStatusView{};
      if (view.running && !view.next_fire) {
        if (const auto* cron = std::get_if<CronTrigger>(&job.trigger)) view.next_fire = next_cron_fire(*cron, view);
      }
      PyRef id = PyRef::steal(require(PyUnicode_DecodeUTF8(job.id.data(), Py_ssize_t(job.id.size()), "replace")));
      PyRef trigger = trigger_object(job.trigger);
      const char* outcome = outcome_name(view.last_outcome);
      PyRef values[] = {PyRef::steal(require(PyBool_FromLong(job.active))),
                        PyRef::steal(require(PyBool_FromLong(view.running))),
                        PyRef::steal(require(optional_datetime(view.next_fire))),
                        PyRef::steal(require(optional_datetime(view.last_due))),
                        PyRef::steal(require(optional_datetime(view.last_started))),
                        PyRef::steal(require(optional_datetime(view.last_ended)))};
      PyRef row = PyRef::steal(require(Py_BuildValue("(OOOOOOOOs)", id.get(), trigger.get(), values[0].get(),
                                                     values[1].get(), values[2].get(), values[3].get(),
                                                     values[4].get(), values[5].get(), outcome)));
      require(PyList_Append(rows.get(), row.get()));
    }
    return rows.release();
  });
}

// started_schedulers(): every started Scheduler of the process that still lives.
PyObject* started_schedulers_call(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    PyRef list = PyRef::steal(require(PyList_New(0)));
    for (const auto& scheduler : started_schedulers()) require(PyList_Append(list.get(), scheduler.get()));
    return list.release();
  });
}

PyObject* runs_in_progress_call(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return runs_in_progress().release(); });
}

PyObject* current_run_call(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return current_run().release(); });
}

// The reasons a replica gives for a fire time it did not run; kept as the strings events point to.
const char* const replica_reasons[] = {"claimed_elsewhere", "held_by_previous_run", "outside_catch_up",
                                       "store_unavailable", "clock_ahead",          "claim_lost"};

// replica_skipped(run, due_microseconds, reason): see run_event.hpp.
PyObject* replica_skipped_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded<PyObject*>(nullptr, [&] {
    if (nargs != 3) raise(PyExc_TypeError, "replica_skipped() takes 3 arguments");
    const long long micros = PyLong_AsLongLong(args[1]);
    if (micros == -1 && PyErr_Occurred()) throw PythonErrorSet{};
    const char* text = PyUnicode_AsUTF8(args[2]);
    if (text == nullptr) throw PythonErrorSet{};
    const char* reason = nullptr;
    for (const char* known : replica_reasons) {
      if (std::strcmp(known, text) == 0) reason = known;
    }
    if (reason == nullptr) raise(PyExc_ValueError, std::string("unknown skip reason: ") + text);
    const std::chrono::system_clock::time_point due{std::chrono::microseconds(micros)};
    return replica_skipped(args[0], due, reason).release();
  });
}

PyObject* cancelled_at_shutdown_call(PyObject*, PyObject* event) {
  return guarded<PyObject*>(nullptr, [&] {
    cancelled_at_shutdown(event);
    Py_RETURN_NONE;
  });
}

template <class Function>
PyCFunction as_function(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"job_states", job_states, METH_O, nullptr},
    {"started_schedulers", started_schedulers_call, METH_NOARGS, nullptr},
    {"runs_in_progress", runs_in_progress_call, METH_NOARGS, nullptr},
    {"current_run", current_run_call, METH_NOARGS, nullptr},
    {"replica_skipped", as_function(replica_skipped_call), METH_FASTCALL, nullptr},
    {"cancelled_at_shutdown", cancelled_at_shutdown_call, METH_O, nullptr},
    {"set_sinks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set_sinks)),
     METH_FASTCALL | METH_KEYWORDS, "set_sinks($module, deliver, start)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {PyModuleDef_HEAD_INIT,
                          "_tyvo_observe",
                          "Run events of tyvo's jobs; use the tyvo_observe package.",
                          -1,
                          methods,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

PyObject* initialise_observe_module() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main() || importing_for_a_sub_interpreter()) {
    raise(PyExc_ImportError, "_tyvo_observe can only be imported in the main interpreter");
  }
  PyRef module = PyRef::steal(require(PyModule_Create(&definition)));
#ifdef Py_GIL_DISABLED
  require(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
  PyObject* type = reinterpret_cast<PyObject*>(run_event_type());
  require(PyModule_AddObjectRef(module.get(), "RunEvent", type));
  observe_runs();
  return module.release();
}

}  // namespace
}  // namespace tyvo::py

PyMODINIT_FUNC PyInit__tyvo_observe() {
  return tyvo::py::guarded<PyObject*>(nullptr, [] { return tyvo::py::initialise_observe_module(); });
}
