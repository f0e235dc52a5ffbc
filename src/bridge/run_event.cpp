#include "bridge/run_event.hpp"

#include <datetime.h>

#include <cstdint>
#include <memory>
#include <new>

#include "bridge/asyncio_api.hpp"
#include "python/interpreter.hpp"
#include "python/python_exception.hpp"
#include "bridge/run_observers.hpp"
#include "python/errors.hpp"

namespace tyvo::py {
namespace {

using std::chrono::steady_clock;
using std::chrono::system_clock;

enum class EventKind : std::uint8_t { run, skipped, ended };

struct EventState {
  PyRef job_id;     // str
  PyRef exception;  // the run's, or the one that stopped the job; null otherwise
  // A weak reference to a run's task, from its making to its end: a task that a dropped loop
  // never ends must not be kept alive here.
  PyRef task;
  std::shared_ptr<JobStatus> status;  // a run's job's, with the run's number in it
  std::uint64_t run = 0;
  std::string cron;  // a cron job's run: its pattern
  steady_clock::time_point due_steady{}, started_steady{}, ended_steady{};
  system_clock::time_point due_wall{}, started_wall{}, ended_wall{};
  // "ended": why the job ended; "skipped": why the fire time was passed over; "run": why the run
  // did not do its job here (passed over on this replica, or cancelled at shutdown).
  const char* reason = nullptr;
  EventKind kind = EventKind::run;
  RunOutcome outcome = RunOutcome::none;
  bool has_due = false;
  bool first = false;
  bool started = false;
  bool ended = false;
  bool abandoned = false;
};

struct EventObject {
  PyObject_HEAD
  EventState state;
};

EventState& state_of(PyObject* self) { return reinterpret_cast<EventObject*>(self)->state; }

// --- values as Python sees them --------------------------------------------------------------

// time.monotonic() reads the same clock (CLOCK_MONOTONIC) as steady_clock.
double monotonic_seconds(steady_clock::time_point instant) {
  return std::chrono::duration<double>(instant.time_since_epoch()).count();
}

double seconds_between(steady_clock::time_point from, steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

PyObject* text_or_none(const char* text) {
  if (text == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(text);
}

const char* kind_name(EventKind kind) {
  switch (kind) {
    case EventKind::run: return "run";
    case EventKind::skipped: return "skipped";
    case EventKind::ended: return "ended";
  }
  return "run";
}

using Getter = PyObject* (*)(PyObject*, void*);

// `value` when `present`, else None.
template <class Make>
PyObject* when(bool present, Make make) {
  if (!present) Py_RETURN_NONE;
  return make();
}

PyGetSetDef getters[] = {
    {"job_id", Getter([](PyObject* self, void*) { return Py_NewRef(state_of(self).job_id.get()); }), nullptr,
     "The job's id.", nullptr},
    {"kind", Getter([](PyObject* self, void*) { return PyUnicode_FromString(kind_name(state_of(self).kind)); }),
     nullptr, "\"run\", \"skipped\" or \"ended\".", nullptr},
    {"first", Getter([](PyObject* self, void*) { return PyBool_FromLong(state_of(self).first); }), nullptr,
     "True for the run made as the job's task began (at start(), or as the job joined).", nullptr},
    {"due", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.has_due, [&] { return utc_datetime(s.due_wall); });
     }),
     nullptr, "The fire time the run was for (aware, UTC); None for \"ended\".", nullptr},
    {"due_monotonic", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.has_due, [&] { return PyFloat_FromDouble(monotonic_seconds(s.due_steady)); });
     }),
     nullptr, "The same instant on time.monotonic()'s clock.", nullptr},
    {"started", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.started, [&] { return utc_datetime(s.started_wall); });
     }),
     nullptr, "When the run's coroutine took its first step (aware, UTC).", nullptr},
    {"started_monotonic", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.started, [&] { return PyFloat_FromDouble(monotonic_seconds(s.started_steady)); });
     }),
     nullptr, "The same instant on time.monotonic()'s clock.", nullptr},
    {"ended", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.ended, [&] { return utc_datetime(s.ended_wall); });
     }),
     nullptr, "When the run's task was done (aware, UTC).", nullptr},
    {"ended_monotonic", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.ended, [&] { return PyFloat_FromDouble(monotonic_seconds(s.ended_steady)); });
     }),
     nullptr, "The same instant on time.monotonic()'s clock.", nullptr},
    {"lateness", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.started && s.has_due,
                   [&] { return PyFloat_FromDouble(seconds_between(s.due_steady, s.started_steady)); });
     }),
     nullptr, "Seconds from due to started, on the monotonic clock.", nullptr},
    {"duration", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(s.started && s.ended,
                   [&] { return PyFloat_FromDouble(seconds_between(s.started_steady, s.ended_steady)); });
     }),
     nullptr, "Seconds from started to ended, on the monotonic clock.", nullptr},
    {"outcome", Getter([](PyObject* self, void*) { return text_or_none(outcome_name(state_of(self).outcome)); }),
     nullptr, "\"returned\", \"raised\" or \"cancelled\" once the run has ended.", nullptr},
    {"exception", Getter([](PyObject* self, void*) {
       PyObject* exception = state_of(self).exception.get();
       return Py_NewRef(exception != nullptr ? exception : Py_None);
     }),
     nullptr, "The run's exception, with its traceback.", nullptr},
    {"cron", Getter([](PyObject* self, void*) {
       const auto& s = state_of(self);
       return when(!s.cron.empty(), [&] {
         return PyUnicode_DecodeUTF8(s.cron.data(), Py_ssize_t(s.cron.size()), "replace");
       });
     }),
     nullptr, "A cron job's run: its pattern as written; None otherwise.", nullptr},
    {"reason", Getter([](PyObject* self, void*) { return text_or_none(state_of(self).reason); }), nullptr,
     "Why the job's task ended (\"shutdown\", \"failed\", \"exhausted\"), why a fire time was skipped, or why "
     "a run did not do its work (a replica's skip reason; \"shutdown\" when a drain cancelled it).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* event_repr(PyObject* self) {
  const auto& s = state_of(self);
  const char* detail = s.kind == EventKind::ended ? s.reason : outcome_name(s.outcome);
  if (detail == nullptr) return PyUnicode_FromFormat("<tyvo_observe.RunEvent %s job_id=%R>", kind_name(s.kind), s.job_id.get());
  return PyUnicode_FromFormat("<tyvo_observe.RunEvent %s job_id=%R %s>", kind_name(s.kind), s.job_id.get(), detail);
}

int event_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(state_of(self).exception.get());
  Py_VISIT(state_of(self).task.get());
  return 0;
}

int event_clear(PyObject* self) {
  state_of(self).exception.reset();
  state_of(self).task.reset();
  return 0;
}

void event_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  state_of(self).~EventState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyRef new_event(EventKind kind, const std::string& job_id) {
  PyRef name = PyRef::steal(require(PyUnicode_DecodeUTF8(job_id.data(), Py_ssize_t(job_id.size()), "replace")));
  PyTypeObject* type = run_event_type();
  PyObject* self = require(type->tp_alloc(type, 0));
  new (&state_of(self)) EventState{};
  state_of(self).kind = kind;
  state_of(self).job_id = std::move(name);
  return PyRef::steal(self);
}

// --- delivery --------------------------------------------------------------------------------

// A sink that fails is reported as an exception that nobody could catch; an interrupt goes on.
void call_sink(PyObject* sink, PyObject* event) {
  PyRef answer = PyRef::steal(PyObject_CallOneArg(sink, event));
  if (answer) return;
  if (interrupt_pending()) throw PythonErrorSet{};
  PyErr_WriteUnraisable(sink);
}

// The run whose context this is (set in each observed run's own context as it starts).
PyObject* current_run_variable() {
  static PyObject* variable = nullptr;
  if (variable == nullptr) variable = require(PyContextVar_New("tyvo_observe.current_run", nullptr));
  return variable;
}

// The runs that have a task and have not ended: what a drain waits for. Kept for the process.
PyObject* runs_with_tasks() {
  static PyObject* runs = nullptr;
  if (runs == nullptr) runs = require(PySet_New(nullptr));
  return runs;
}

void note_started(PyObject* event) {
  auto& s = state_of(event);
  if (s.abandoned || s.started) return;
  s.started = true;
  s.started_steady = steady_clock::now();
  s.started_wall = system_clock::now();
  if (s.status) s.status->run_started(s.run, s.started_wall);
  PyRef token = PyRef::steal(require(PyContextVar_Set(current_run_variable(), event)));
  if (PyObject* sink = run_event_start_sink()) {
    PyRef held = PyRef::borrow(sink);  // the sink may unsubscribe itself
    call_sink(held.get(), event);
  }
}

// run_started(event): queued on the loop ahead of the run's first step, in the run's context.
PyObject* run_started_call(PyObject*, PyObject* event) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (Py_TYPE(event) != run_event_type()) raise(PyExc_TypeError, "run_started() takes a RunEvent");
    note_started(event);
    Py_RETURN_NONE;
  });
}

// deliver_posted(*events): the events a job task posted, handed to whoever observes now.
PyObject* deliver_posted_call(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyObject* sink = run_event_deliver_sink()) {
        PyRef held = PyRef::borrow(sink);
        call_sink(held.get(), args[i]);
      }
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef run_started_definition = {"run_started", run_started_call, METH_O, nullptr};
PyMethodDef deliver_posted_definition = {
    "deliver_posted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(deliver_posted_call)),
    METH_FASTCALL, nullptr};

// Made once and kept for the life of the process, as the asyncio lookups are.
PyObject* builtin(PyMethodDef& definition) { return require(PyCFunction_New(&definition, nullptr)); }

PyObject* run_started_function() {
  static PyObject* function = nullptr;
  if (function == nullptr) function = builtin(run_started_definition);
  return function;
}

PyObject* deliver_posted_function() {
  static PyObject* function = nullptr;
  if (function == nullptr) function = builtin(deliver_posted_definition);
  return function;
}

void post(const TaskLocals& locals, const std::vector<PyRef>& events) {
  static PyObject* call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  std::vector<PyObject*> args{locals.loop.get(), deliver_posted_function()};
  for (const auto& event : events) args.push_back(event.get());
  PyRef handle = PyRef::steal(PyObject_VectorcallMethod(call_soon_threadsafe, args.data(), args.size(), nullptr));
  if (!handle) PyErr_Clear();  // a closed loop: nobody is there to observe
}

// Worker side: the lock, and whatever goes wrong stays here.
template <class Body>
void with_lock_quietly(Body&& body) {
  InterpreterLock lock;
  if (!lock.held()) return;
  try {
    body();
  } catch (const PythonErrorSet&) {
    PyErr_Clear();
  }
}

}  // namespace

PyObject* utc_datetime(system_clock::time_point instant) {
  using namespace std::chrono;
  const auto micros = floor<microseconds>(instant);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss time{micros - day};
  return PyDateTimeAPI->DateTime_FromDateAndTime(
      int(date.year()), int(unsigned(date.month())), int(unsigned(date.day())), int(time.hours().count()),
      int(time.minutes().count()), int(time.seconds().count()), int(time.subseconds().count()),
      PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

const char* outcome_name(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::returned: return "returned";
    case RunOutcome::raised: return "raised";
    case RunOutcome::cancelled: return "cancelled";
    case RunOutcome::none: break;
  }
  return nullptr;
}

PyTypeObject* run_event_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) throw PythonErrorSet{};
  PyType_Slot slots[] = {{Py_tp_getset, getters},
                         {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
                         {Py_tp_traverse, reinterpret_cast<void*>(event_traverse)},
                         {Py_tp_clear, reinterpret_cast<void*>(event_clear)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(event_dealloc)},
                         {Py_tp_doc, const_cast<char*>("One job's run, skipped fire time or end.")},
                         {0, nullptr}};
  PyType_Spec spec = {"tyvo_observe.RunEvent", sizeof(EventObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                          Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      slots};
  type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&spec)));
  return type;
}

PyRef new_run_event(const RunDue& due) {
  PyRef event = new_event(EventKind::run, due.job_id);
  auto& s = state_of(event.get());
  s.has_due = true;
  s.due_steady = due.steady;
  s.due_wall = due.wall;
  s.first = due.first;
  s.status = due.status;
  s.run = due.run;
  s.cron = due.cron;
  return event;
}

void observed_run_task(PyObject* event, PyObject* task) {
  PyRef weak = PyRef::steal(PyWeakref_NewRef(task, nullptr));
  if (!weak || PySet_Add(runs_with_tasks(), event) < 0) {
    PyErr_Clear();  // a task of a factory's without weak references, or out of memory: a drain
    return;         // will not wait for this run
  }
  state_of(event).task = std::move(weak);
}

PyRef runs_in_progress() {
  PyRef runs = PyRef::steal(require(PyList_New(0)));
  PyRef snapshot = PyRef::steal(require(PySequence_List(runs_with_tasks())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    PyObject* event = PyList_GET_ITEM(snapshot.get(), i);
    PyObject* weak = state_of(event).task.get();
    if (weak == nullptr) continue;
    PyRef task = PyRef::steal(require(PyObject_CallNoArgs(weak)));
    if (task.get() == Py_None) {  // gone without an end (its loop was dropped): forget the run
      state_of(event).task.reset();
      require(PySet_Discard(runs_with_tasks(), event));
      continue;
    }
    PyRef pair = PyRef::steal(require(PyTuple_Pack(2, event, task.get())));
    require(PyList_Append(runs.get(), pair.get()));
  }
  return runs;
}

PyRef current_run() {
  PyObject* value = nullptr;
  require(PyContextVar_Get(current_run_variable(), Py_None, &value));
  return PyRef::steal(value);
}

PyRef replica_skipped(PyObject* run, system_clock::time_point due, const char* reason) {
  if (Py_TYPE(run) != run_event_type()) raise(PyExc_TypeError, "replica_skipped() takes a RunEvent");
  auto& r = state_of(run);
  r.reason = reason;
  PyRef event = new_event(EventKind::skipped, "");
  auto& s = state_of(event.get());
  s.job_id = r.job_id;
  s.reason = reason;
  s.has_due = true;
  s.due_wall = due;
  s.due_steady = r.due_steady + std::chrono::duration_cast<steady_clock::duration>(due - r.due_wall);
  return event;
}

void cancelled_at_shutdown(PyObject* run) {
  if (Py_TYPE(run) != run_event_type()) raise(PyExc_TypeError, "cancelled_at_shutdown() takes a RunEvent");
  if (!state_of(run).ended) state_of(run).reason = "shutdown";
}

PyRef begin_observed_run(PyObject* loop, PyObject* event, bool at_once) {
  PyRef context = PyRef::steal(require(PyContext_CopyCurrent()));
  if (at_once) {
    require(PyContext_Enter(context.get()));
    try {
      note_started(event);
    } catch (...) {
      PyContext_Exit(context.get());
      throw;
    }
    require(PyContext_Exit(context.get()));
    return context;
  }
  static PyObject* call_soon = PyUnicode_InternFromString("call_soon");
  static PyObject* context_keyword = Py_BuildValue("(s)", "context");
  PyObject* args[] = {loop, run_started_function(), event, context.get()};
  PyRef handle = PyRef::steal(require(PyObject_VectorcallMethod(call_soon, args, 3, context_keyword)));
  return context;
}

void abandon_observed_run(PyObject* event) noexcept { state_of(event).abandoned = true; }

void end_observed_run(PyObject* event, steady_clock::time_point ended_steady, system_clock::time_point ended_wall,
                      PyObject* exception) {
  auto& s = state_of(event);
  s.ended = true;
  s.ended_steady = ended_steady;
  s.ended_wall = ended_wall;
  if (exception == nullptr) {
    s.outcome = RunOutcome::returned;
  } else {
    s.exception = PyRef::borrow(exception);
    s.outcome = PyErr_GivenExceptionMatches(exception, asyncio::cancelled_error()) ? RunOutcome::cancelled
                                                                                    : RunOutcome::raised;
  }
  // A run whose job task went first (a shutdown) is known to have ended only from here.
  if (s.status) s.status->run_ended(s.run, ended_wall, s.outcome);
  if (s.task) {
    s.task.reset();
    if (PySet_Discard(runs_with_tasks(), event) < 0) PyErr_Clear();
  }
  if (PyObject* sink = run_event_deliver_sink()) {
    PyRef held = PyRef::borrow(sink);
    call_sink(held.get(), event);
  }
}

void post_skipped_fire_times(const TaskLocals& locals, const RunDue& run,
                             const std::vector<system_clock::time_point>& skipped, const char* reason) {
  with_lock_quietly([&] {
    if (run_event_deliver_sink() == nullptr) return;  // nobody to tell
    std::vector<PyRef> events;
    for (const auto fire_time : skipped) {
      PyRef event = new_event(EventKind::skipped, run.job_id);
      auto& s = state_of(event.get());
      s.reason = reason;
      s.has_due = true;
      s.due_wall = fire_time;
      s.due_steady = run.steady + std::chrono::duration_cast<steady_clock::duration>(fire_time - run.wall);
      events.push_back(std::move(event));
    }
    post(locals, events);
  });
}

void post_job_ended(const TaskLocals& locals, const std::string& job_id, const char* reason, PyRef exception) {
  with_lock_quietly([&] {
    if (run_event_deliver_sink() == nullptr) return;  // nobody to tell
    PyRef event = new_event(EventKind::ended, job_id);
    state_of(event.get()).reason = reason;
    state_of(event.get()).exception = std::move(exception);
    post(locals, {event});
  });
}

}  // namespace tyvo::py
