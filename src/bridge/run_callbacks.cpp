#include "bridge/run_callbacks.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "bridge/asyncio_api.hpp"
#include "bridge/callback_object.hpp"
#include "bridge/run_event.hpp"
#include "bridge/run_observers.hpp"
#include "bridge/runtime/detail/pool.hpp"
#include "bridge/runtime/fork_generation.hpp"
#include "python/errors.hpp"
#include "python/python_exception.hpp"
#include "python/saved_exception.hpp"

namespace tyvo::py {
namespace {

using namespace callback_object;

// --- RunEndsFlush ---------------------------------------------------------------------------

// The run ends that one turn of a loop produced, sent to their job tasks together by a callback
// behind them: the workers are then woken once for the lot, not once per run, which on a busy
// loop is a futex wake-up (and a thread switch) saved per run.
//
// Each thread that runs a loop names the flush it has queued there and not yet called, so that
// the turn's later run ends join it. The flush may be called or released on another thread, after
// the queuing thread has ended (a loop left unclosed by its thread and closed from another), so
// the name lives in a block that the flush and the thread own together, never in the thread's own
// storage. All of it is read and written with the lock held.
struct QueuedFlush {
  PyObject* flush = nullptr;  // borrowed: the loop's queue holds it, and it clears this first
  PyObject* loop = nullptr;   // borrowed: the loop whose queue holds `flush`
};

struct RunEndsFlushState {
  std::vector<std::pair<rt::OneshotSender<RunEnd>, RunEnd>> ends;
  std::shared_ptr<QueuedFlush> queued;  // the queuing thread's, while this flush is named there
  PyObject* self = nullptr;
};

thread_local std::shared_ptr<QueuedFlush> queued_here;

void send_all(RunEndsFlushState& state) {
  if (state.queued && state.queued->flush == state.self) *state.queued = QueuedFlush{};
  state.queued.reset();
  auto ends = std::move(state.ends);
  rt::detail::Pool::Gathering together;
  for (auto& [sender, end] : ends) sender.send(std::move(end));  // a worker that stopped waiting drops it
}

PyObject* run_ends_flush_call(PyObject* self, PyObject*, PyObject*) {
  send_all(state_of<RunEndsFlushState>(self));
  Py_RETURN_NONE;
}

// Dropped uncalled (the loop closed first), it sends all the same.
void before_release(RunEndsFlushState& state) { send_all(state); }

PyTypeObject* run_ends_flush_type() {
  static PyTypeObject* type = callback_type<RunEndsFlushState>("tyvo.RunEndsFlush", run_ends_flush_call);
  return type;
}

void send_with_this_turn(PyObject* loop, rt::OneshotSender<RunEnd> sender, RunEnd end) {
  if (!queued_here) queued_here = std::make_shared<QueuedFlush>();
  QueuedFlush& queued = *queued_here;
  if (queued.flush == nullptr || queued.loop != loop) {
    PyRef flush = new_callback(run_ends_flush_type(), RunEndsFlushState{});
    static PyObject* call_soon = PyUnicode_InternFromString("call_soon");
    PyRef handle = PyRef::steal(PyObject_CallMethodOneArg(loop, call_soon, flush.get()));
    if (!handle) {
      if (interrupt_pending()) throw PythonErrorSet{};
      PyErr_Clear();
      sender.send(std::move(end));
      return;
    }
    auto& state = state_of<RunEndsFlushState>(flush.get());
    state.queued = queued_here;
    state.self = flush.get();
    queued = QueuedFlush{flush.get(), loop};
  }
  state_of<RunEndsFlushState>(queued.flush).ends.emplace_back(std::move(sender), std::move(end));
}

// --- PyTaskCompleter ------------------------------------------------------------------------

struct TaskCompleterState {
  std::optional<rt::OneshotSender<RunEnd>> outcome;
  PyRef loop;  // the task's, where its end is sent from
  // The run's task, until the completer has been called. It makes a cycle with the task while the
  // task is pending (the task holds its done-callbacks), hence the collector's part in it.
  PyRef task;
  PyRef event;  // when observed: the run's event, delivered with its end
  static constexpr bool in_cycles = true;
};


int traverse_state(TaskCompleterState& state, visitproc visit, void* arg) {
  Py_VISIT(state.task.get());
  Py_VISIT(state.event.get());
  return 0;
}

// Dropped uncalled, the completer was never given its task's outcome: the loop closed with the
// task, or with the completer's call, still in its queue (the program ended, say). What Python
// would report about that task is tyvo's doing, not the program's, so it is settled quietly here:
// a finished task's exception is retrieved ("Task exception was never retrieved" otherwise), and
// a task that never took its first step has its coroutine closed ("coroutine ... was never
// awaited" otherwise; a started one is closed as its release would close it). The completer holds
// the task, so the task is still whole, in whatever order the loop's queue entry or the collector
// lets go of the two. Lock held.
void settle_abandoned_task(TaskCompleterState& state) {
  if (!state.outcome || !state.task) return;
  SavedException pending;
  PyObject* task = state.task.get();
  PyRef done = PyRef::steal(PyObject_CallMethod(task, "done", nullptr));
  if (done && PyObject_IsTrue(done.get()) > 0) {
    if (!future_cancelled_quietly(task)) {
      PyRef exception = PyRef::steal(PyObject_CallMethod(task, "exception", nullptr));
    }
  } else if (done) {
    PyRef coroutine = PyRef::steal(PyObject_CallMethod(task, "get_coro", nullptr));
    if (coroutine && PyCoro_CheckExact(coroutine.get())) {
      PyRef closed = PyRef::steal(PyObject_CallMethod(coroutine.get(), "close", nullptr));
    }
  }
  PyErr_Clear();
}

void clear_state(TaskCompleterState& state) {
  settle_abandoned_task(state);
  state.task.reset();
  state.event.reset();
}

void before_release(TaskCompleterState& state) { settle_abandoned_task(state); }

PyObject* task_completer_call(PyObject* self, PyObject* args, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* task = single_argument(args, 0);
    auto& sender = state_of<TaskCompleterState>(self).outcome;
    if (!sender) Py_RETURN_NONE;
    // result() is called even when nobody waits any more, so asyncio never reports the
    // exception as unretrieved. Nobody uses a return value: it goes here, where the lock is held,
    // rather than travel to a worker that would have to hand it back for release.
    static PyObject* result_name = PyUnicode_InternFromString("result");
    PyRef result = PyRef::steal(PyObject_CallMethodNoArgs(task, result_name));
    RunEnd end;
    end.started = true;
    end.finished_steady = std::chrono::steady_clock::now();
    end.finished_wall = std::chrono::system_clock::now();
    if (!result) end.outcome = PythonException::fetch();
    result.reset();
    auto& state = state_of<TaskCompleterState>(self);
    rt::OneshotSender<RunEnd> taken = std::move(*sender);
    sender.reset();
    state.task.reset();
    PyRef event = std::move(state.event);
    PyRef exception;
    const auto* failure = std::get_if<PythonException>(&end.outcome);
    if (event && failure != nullptr) exception = failure->error;
    const auto ended_steady = end.finished_steady;
    const auto ended_wall = end.finished_wall;
    send_with_this_turn(state.loop.get(), std::move(taken), std::move(end));
    // Observers hear of the end after the job task was sent it, so that none can hold it up.
    if (event) end_observed_run(event.get(), ended_steady, ended_wall, exception.get());
    Py_RETURN_NONE;
  });
}

PyTypeObject* task_completer_type() {
  static PyTypeObject* type = callback_type<TaskCompleterState>("tyvo.PyTaskCompleter", task_completer_call);
  return type;
}

// --- PyEnsureFuture -------------------------------------------------------------------------

struct EnsureFutureState {
  PyRef loop;
  std::vector<EnsureFutureEntry> entries;
  StartPermits permits;
  // A forked child that goes on running its copy of the loop finds the batches that the parent's
  // workers had queued on it: those runs are the parent's, and must not happen here too.
  std::uint32_t generation = rt::fork_generation();
  PyObject* queued_rest = nullptr;  // the callback itself, while queued as a batch's rest (below)
};

// A batch makes its tasks a slice at a time, each slice's rest queued behind the first steps of
// the slice. Making a task costs about as much as a short run's first step, so a thousand runs
// due together would otherwise all wait for the thousandth task before the first of them began;
// sliced, they begin as their tasks are made, and end spread out over the batch, so that their
// next fire times do not all come due in one heap again.
constexpr std::size_t tasks_per_slice = 64;

// The rests queued on some loop and not called yet. A run handed over before an operation's
// outcome was sent must begin before that outcome is seen (no run begins after `await shutdown()`
// returns), so an outcome first makes the tasks of every rest queued on its loop (see
// start_queued_rests). Lock held for every access; never destroyed, like the list below.
std::vector<EnsureFutureState*>& rests_queued() {
  static auto* rests = new std::vector<EnsureFutureState*>;
  return *rests;
}

void forget_rest(EnsureFutureState& state) {
  if (state.queued_rest == nullptr) return;
  state.queued_rest = nullptr;
  std::erase(rests_queued(), &state);
}

// Coroutines that never got a task (the loop refused or dropped the callback, or could not make
// the task) are closed before they go: Python would otherwise warn, at exit above all, that they
// were never awaited, about something the program did not do. Lock held.
void close_unawaited(std::vector<EnsureFutureEntry>& entries) {
  static PyObject* close = PyUnicode_InternFromString("close");
  for (auto& entry : entries) {
    if (!entry.awaitable || !PyCoro_CheckExact(entry.awaitable.get())) continue;
    PyRef closed = PyRef::steal(PyObject_CallMethodNoArgs(entry.awaitable.get(), close));
    if (!closed) PyErr_Clear();
    entry.awaitable.reset();
  }
}

void before_release(EnsureFutureState& state) {
  forget_rest(state);
  if (state.entries.empty()) return;
  SavedException pending;  // a dealloc may run while an exception is on its way
  close_unawaited(state.entries);
}

// Called by the loop after the first steps of a batch's tasks (scheduled before it): gives the
// batch's permits back. Dropped uncalled (a closed loop), it gives them back all the same.
//
// It also holds the batch's tasks until then. A loop that closes with a task's first step still in
// its queue leaves the task in a cycle with its PyTaskCompleter, and the cyclic collector finalises
// every object of such garbage before it clears any: the task's never-started coroutine would warn
// that it "was never awaited" before the completer could close it. Held here, the task outlives
// the loop's queue entries, and this callback, dropped with the same queue, closes the coroutines
// that never started, by reference counting, before any collector sees them.
struct FirstStepsTakenState {
  StartPermits permits;
  std::vector<PyRef> tasks;
  bool queued = false;  // only a callback the loop had queued is dropped with the loop's queue
};

// The batches queued on some loop whose tasks' first steps have not been taken yet: a forked
// child must not begin the parent's runs. Lock held for every access; never destroyed, since a
// callback may be released during the interpreter's teardown.
std::vector<FirstStepsTakenState*>& batches_awaiting_first_steps() {
  static auto* batches = new std::vector<FirstStepsTakenState*>;
  return *batches;
}

void forget_batch(FirstStepsTakenState& state) {
  if (!state.queued) return;
  state.queued = false;
  auto& batches = batches_awaiting_first_steps();
  std::erase(batches, &state);
}

PyObject* first_steps_taken_call(PyObject* self, PyObject*, PyObject*) {
  auto& state = state_of<FirstStepsTakenState>(self);
  forget_batch(state);
  state.permits.give_back();
  state.tasks.clear();  // their first steps have been taken
  Py_RETURN_NONE;
}

// Whether a coroutine was created but never started (neither running, suspended nor closed).
bool never_started(PyObject* coroutine) {
  static PyObject* frame_name = PyUnicode_InternFromString("cr_frame");
  static PyObject* suspended_name = PyUnicode_InternFromString("cr_suspended");
  static PyObject* running_name = PyUnicode_InternFromString("cr_running");
  PyRef frame = PyRef::steal(PyObject_GetAttr(coroutine, frame_name));
  if (!frame || frame.get() == Py_None) return false;
  PyRef suspended = PyRef::steal(PyObject_GetAttr(coroutine, suspended_name));
  PyRef running = PyRef::steal(PyObject_GetAttr(coroutine, running_name));
  return suspended && running && !PyObject_IsTrue(suspended.get()) && !PyObject_IsTrue(running.get());
}

void before_release(FirstStepsTakenState& state) {
  const bool queued = state.queued;
  forget_batch(state);
  if (!queued || state.tasks.empty()) return;
  SavedException pending;
  static PyObject* get_coro = PyUnicode_InternFromString("get_coro");
  static PyObject* close = PyUnicode_InternFromString("close");
  for (auto& task : state.tasks) {
    PyRef coroutine = PyRef::steal(PyObject_CallMethodNoArgs(task.get(), get_coro));
    if (coroutine && PyCoro_CheckExact(coroutine.get()) && never_started(coroutine.get())) {
      PyRef closed = PyRef::steal(PyObject_CallMethodNoArgs(coroutine.get(), close));
    }
    PyErr_Clear();
  }
  state.tasks.clear();
}

// After the batch's tasks exist, their first steps are already queued on the loop; one more
// callback behind them says when they have run.
void give_back_after_first_steps(PyObject* loop, StartPermits permits, std::vector<PyRef> tasks) {
  static PyTypeObject* type =
      callback_type<FirstStepsTakenState>("tyvo.FirstStepsTaken", first_steps_taken_call);
  PyRef callback = new_callback(type, FirstStepsTakenState{std::move(permits), std::move(tasks)});
  static PyObject* call_soon = PyUnicode_InternFromString("call_soon");
  PyRef handle = PyRef::steal(PyObject_CallMethodOneArg(loop, call_soon, callback.get()));
  if (handle) {
    auto& state = state_of<FirstStepsTakenState>(callback.get());
    state.queued = true;
    batches_awaiting_first_steps().push_back(&state);
    return;
  }
  // The callback, dropped here, gives the permits back; the tasks' first steps are still queued.
  if (interrupt_pending()) throw PythonErrorSet{};
  PyErr_Clear();
}

// A failing entry is reported the way the loop reports a failing callback, and the rest go on.
// An interrupt raised by the report itself is left pending.
void report_to_loop(PyObject* self) {
  PythonException failure = PythonException::fetch();
  PyRef loop = PyRef::steal(PyObject_CallNoArgs(asyncio::get_running_loop()));
  PyRef context =
      PyRef::steal(Py_BuildValue("{s:s,s:O,s:O}", "message", "Exception in callback PyEnsureFuture",
                                 "exception", failure.error.get(), "handle", self));
  if (loop && context) {
    PyRef handled =
        PyRef::steal(PyObject_CallMethod(loop.get(), "call_exception_handler", "(O)", context.get()));
    if (handled) return;
    if (interrupt_pending()) return;
  }
  PyErr_WriteUnraisable(self);
}

// For a coroutine, ensure_future() amounts to loop.create_task(), which (with no task factory
// set) amounts to asyncio.Task(coro, loop=loop). Going straight there saves several Python frames
// per run, which add up on a loop that starts thousands of runs a second.
// `context`, when given, is the one the task runs in (else a copy of the current one).
PyObject* as_task(PyObject* loop, bool plain_tasks, PyObject* awaitable, PyObject* context) {
  if (!PyCoro_CheckExact(awaitable)) {
    if (context == nullptr) return PyObject_CallOneArg(asyncio::ensure_future(), awaitable);
    if (PyContext_Enter(context) < 0) return nullptr;  // the task copies it
    PyObject* task = PyObject_CallOneArg(asyncio::ensure_future(), awaitable);
    if (PyContext_Exit(context) < 0) Py_CLEAR(task);
    return task;
  }
  static PyObject* context_keyword = Py_BuildValue("(s)", "context");
  if (!plain_tasks) {
    static PyObject* create_task = PyUnicode_InternFromString("create_task");
    if (context == nullptr) return PyObject_CallMethodOneArg(loop, create_task, awaitable);
    PyObject* args[] = {loop, awaitable, context};
    return PyObject_VectorcallMethod(create_task, args, 2, context_keyword);
  }
  static PyObject* loop_keyword = Py_BuildValue("(s)", "loop");
  static PyObject* loop_context_keywords = Py_BuildValue("(ss)", "loop", "context");
  PyObject* args[] = {awaitable, loop, context};
  return PyObject_Vectorcall(asyncio::task_type(), args, 1, context ? loop_context_keywords : loop_keyword);
}

// Whether the loop makes its tasks the standard way: no task factory set.
bool makes_plain_tasks(PyObject* loop) {
  static PyObject* get_task_factory = PyUnicode_InternFromString("get_task_factory");
  PyRef factory = PyRef::steal(PyObject_CallMethodNoArgs(loop, get_task_factory));
  if (!factory) {
    if (interrupt_pending()) throw PythonErrorSet{};
    PyErr_Clear();  // a loop without the method: let create_task decide
    return false;
  }
  return factory.get() == Py_None;
}

// A run's task is tyvo's to watch, not the program's: if the loop goes with it still pending (the
// program ended, say), that is no leak of the program's to report.
void watched_by_tyvo(PyObject* task) {
  static PyObject* log_destroy_pending = PyUnicode_InternFromString("_log_destroy_pending");
  if (PyObject_SetAttr(task, log_destroy_pending, Py_False) < 0) PyErr_Clear();  // a task of a factory's
}

PyRef start_task(PyObject* loop, bool plain_tasks, EnsureFutureEntry& entry) {
  // An observed run's task gets a context of its own, in which its start is noted first.
  PyRef context;
  if (entry.event) {
    // With nobody subscribed, nothing needs the instant of the first step itself: the start is
    // noted as the task is made, which spares the run a callback of its own.
    const bool at_once = !plain_tasks || !PyCoro_CheckExact(entry.awaitable.get()) ||
                         run_event_deliver_sink() == nullptr;
    context = begin_observed_run(loop, entry.event.get(), at_once);
  }
  PyRef task = PyRef::steal(as_task(loop, plain_tasks, entry.awaitable.get(), context.get()));
  if (!task) {
    if (entry.event) abandon_observed_run(entry.event.get());
    throw PythonErrorSet{};
  }
  entry.awaitable.reset();
  watched_by_tyvo(task.get());
  if (entry.event) observed_run_task(entry.event.get(), task.get());
  PyRef completer = new_callback(task_completer_type(), TaskCompleterState{std::move(entry.outcome),
                                                                           PyRef::borrow(loop), task,
                                                                           std::move(entry.event)});
  static PyObject* add_done_callback = PyUnicode_InternFromString("add_done_callback");
  PyRef added =
      PyRef::steal(require(PyObject_CallMethodOneArg(task.get(), add_done_callback, completer.get())));
  return task;
}

PyTypeObject* ensure_future_type();

// Moves the entries past the first slice into a new callback of their own. The batch's permits
// go with them, all of them, to come back after the last slice's first steps: given back a slice
// at a time, they would call the run starter in for a hand-over of 64 runs after each slice, each
// one a wait for the interpreter lock while the loop holds it, and a burst of thousands would be
// handed over in pieces of 64 instead of in one.
PyRef split_off_rest(EnsureFutureState& state, std::vector<EnsureFutureEntry>& entries) {
  std::vector<EnsureFutureEntry> rest(std::make_move_iterator(entries.begin() + tasks_per_slice),
                                      std::make_move_iterator(entries.end()));
  entries.erase(entries.begin() + tasks_per_slice, entries.end());
  return new_callback(ensure_future_type(), EnsureFutureState{state.loop, std::move(rest), std::move(state.permits)});
}

// Makes the tasks of the batch, or of its first slice when `sliced` and queues the rest behind
// its first steps. Returns a new reference to None, or null with an exception set.
PyObject* start_batch(PyObject* self, bool sliced);

// Queues a batch's rest on the loop; if the loop will not take it, its tasks are made now.
void queue_rest(PyObject* loop, PyRef rest) {
  static PyObject* call_soon = PyUnicode_InternFromString("call_soon");
  PyRef handle = PyRef::steal(PyObject_CallMethodOneArg(loop, call_soon, rest.get()));
  if (handle) {
    auto& state = state_of<EnsureFutureState>(rest.get());
    state.queued_rest = rest.get();
    rests_queued().push_back(&state);
    return;
  }
  if (interrupt_pending()) throw PythonErrorSet{};
  PyErr_Clear();
  PyRef started = PyRef::steal(start_batch(rest.get(), false));
  if (!started) throw PythonErrorSet{};
}

PyObject* start_batch(PyObject* self, bool sliced) {
  auto& state = state_of<EnsureFutureState>(self);
  forget_rest(state);
  auto entries = std::move(state.entries);
  if (entries.empty()) Py_RETURN_NONE;  // a rest already started ahead of its turn
  if (rt::inherited(state.generation)) {
    close_unawaited(entries);
    Py_RETURN_NONE;
  }
  PyRef rest;
  if (sliced && entries.size() > tasks_per_slice) rest = split_off_rest(state, entries);
  // An interrupt (KeyboardInterrupt from a signal handler, say) leaves this callback as it would
  // leave one of asyncio's, but only once every run of the batch has its task.
  std::optional<PythonException> interrupt;
  const auto catch_interrupt = [&] {
    if (!interrupt_pending()) return false;
    if (interrupt) {
      PyErr_Clear();  // a second one while the first is on its way out
    } else {
      interrupt = PythonException::fetch();
    }
    return true;
  };
  bool plain_tasks = false;
  try {
    plain_tasks = makes_plain_tasks(state.loop.get());
  } catch (const PythonErrorSet&) {
    catch_interrupt();
  }
  std::vector<PyRef> tasks;
  tasks.reserve(entries.size());
  for (auto& entry : entries) {
    try {
      tasks.push_back(start_task(state.loop.get(), plain_tasks, entry));
    } catch (const PythonErrorSet&) {
      if (catch_interrupt()) continue;
      report_to_loop(self);
      catch_interrupt();
    }
  }
  close_unawaited(entries);
  try {
    give_back_after_first_steps(state.loop.get(), std::move(state.permits), std::move(tasks));
  } catch (const PythonErrorSet&) {
    catch_interrupt();
  }
  if (rest) {
    try {
      if (interrupt) {
        PyRef started = PyRef::steal(start_batch(rest.get(), false));
        if (!started) throw PythonErrorSet{};
      } else {
        queue_rest(state.loop.get(), std::move(rest));
      }
    } catch (const PythonErrorSet&) {
      catch_interrupt();
    }
  }
  if (interrupt) {
    std::move(*interrupt).restore();
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* ensure_future_call(PyObject* self, PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return start_batch(self, true); });
}

PyTypeObject* ensure_future_type() {
  static PyTypeObject* type = callback_type<EnsureFutureState>("tyvo.PyEnsureFuture", ensure_future_call);
  return type;
}

}  // namespace

void start_queued_rests(PyObject* future) {
  auto& rests = rests_queued();
  if (rests.empty()) return;
  static PyObject* get_loop = PyUnicode_InternFromString("get_loop");
  PyRef loop = PyRef::steal(PyObject_CallMethodNoArgs(future, get_loop));
  if (!loop) {
    if (interrupt_pending()) throw PythonErrorSet{};
    PyErr_Clear();  // not an asyncio future: the outcome goes as it did before slices
    return;
  }
  std::vector<PyRef> waiting;
  for (EnsureFutureState* rest : rests) {
    if (rest->loop.get() == loop.get()) waiting.push_back(PyRef::borrow(rest->queued_rest));
  }
  for (auto& rest : waiting) PyRef started = PyRef::steal(require(start_batch(rest.get(), false)));
}

PyRef new_ensure_future(PyRef loop, std::vector<EnsureFutureEntry> entries, StartPermits permits) {
  return new_callback(ensure_future_type(),
                      EnsureFutureState{std::move(loop), std::move(entries), std::move(permits)});
}

void cancel_unstarted_runs_after_fork() {
  static PyObject* get_coro = PyUnicode_InternFromString("get_coro");
  static PyObject* cancel = PyUnicode_InternFromString("cancel");
  SavedException pending;
  for (FirstStepsTakenState* batch : batches_awaiting_first_steps()) {
    for (auto& task : batch->tasks) {
      PyRef coroutine = PyRef::steal(PyObject_CallMethodNoArgs(task.get(), get_coro));
      // Cancelled before its first step, a task throws into a coroutine that never began: its
      // body does not run.
      if (coroutine && PyCoro_CheckExact(coroutine.get()) && never_started(coroutine.get())) {
        PyRef cancelled = PyRef::steal(PyObject_CallMethodNoArgs(task.get(), cancel));
      }
      PyErr_Clear();
    }
  }
}

std::vector<rt::OneshotSender<RunEnd>> refused_entries(PyObject* ensure_future) {
  auto& entries = state_of<EnsureFutureState>(ensure_future).entries;
  {
    SavedException refusal;  // the loop's error, which the caller reports
    close_unawaited(entries);
  }
  std::vector<rt::OneshotSender<RunEnd>> senders;
  senders.reserve(entries.size());
  for (auto& entry : entries) senders.push_back(std::move(entry.outcome));
  entries.clear();
  return senders;
}

}  // namespace tyvo::py
