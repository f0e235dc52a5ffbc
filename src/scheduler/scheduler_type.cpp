#include "scheduler/job_switches.hpp"
#include "scheduler/scheduler_type.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

#include "bridge/operation.hpp"
#include "bridge/run_observers.hpp"
#include "bridge/runtime/fork_generation.hpp"
#include "bridge/task_locals.hpp"
#include "cron/cron.hpp"
#include "cron/zone_prefix.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "module/trigger.hpp"
#include "python/zone_search_path.hpp"
#include "scheduler/access_flag.hpp"
#include "scheduler/launched_tasks.hpp"
#include "scheduler/operations.hpp"
#include "scheduler/supervisor.hpp"

namespace tyvo::py {
namespace {

struct SchedulerState {
  JobRegistry jobs;
  std::optional<rt::Sender<Job>> new_job_tx;
  std::optional<rt::Sender<rt::Signal>> shutdown_tx;
  bool started = false;
  // The job tasks of each start() whose supervisor has not settled them yet.
  std::vector<std::shared_ptr<LaunchedTasks>> launched;
  // The fork generation of the runtime that the senders and the launched tasks belong to.
  std::uint32_t runtime_generation = 0;
};

// A started scheduler that a forked child inherited: its channels, supervisor and job tasks are
// the parent's, and nothing of them may run or be touched here.
bool inherited_from_parent(const SchedulerState& state) {
  return state.started && rt::inherited(state.runtime_generation);
}

void refuse_if_inherited(const SchedulerState& state) {
  if (inherited_from_parent(state)) {
    raise_plain("scheduler was started in the parent process; create a new Scheduler in this process");
  }
}

// Stops the tasks of every earlier start() whose supervisor was dropped (start()'s awaitable was
// cancelled) and forgets those already settled. Returns the stopped tasks' senders.
std::vector<rt::Sender<rt::Signal>> retire_orphaned_tasks(SchedulerState& state) {
  std::vector<rt::Sender<rt::Signal>> retired;
  std::erase_if(state.launched, [&](const std::shared_ptr<LaunchedTasks>& tasks) {
    if (tasks->orphaned()) {
      auto stops = tasks->retire();
      retired.insert(retired.end(), std::make_move_iterator(stops.begin()), std::make_move_iterator(stops.end()));
      return true;
    }
    return tasks->settled();
  });
  return retired;
}

struct SchedulerObject {
  PyObject_HEAD
  SchedulerState state;
  AccessFlag access;
};

SchedulerState& state_of(PyObject* self) { return reinterpret_cast<SchedulerObject*>(self)->state; }
AccessFlag& access_of(PyObject* self) { return reinterpret_cast<SchedulerObject*>(self)->access; }

// Shared by every scheduler in the process: ids are unique across schedulers and threads.
std::atomic<std::uint64_t> job_counter{1};

// Registration order for observers, across every scheduler.
std::atomic<std::uint64_t> registration_counter{0};

// Every live Scheduler object, borrowed: added as one is made, removed as it goes (lock held).
std::vector<PyObject*>& live_schedulers() {
  static auto* schedulers = new std::vector<PyObject*>;
  return *schedulers;
}

std::string next_generated_id() {
  const std::uint64_t number = job_counter.fetch_add(1);
  if (number == UINT64_MAX) {
    throw std::overflow_error(
        "overflow detected; please use a larger integer to or reconsider your use case");
  }
  return "job-" + std::to_string(number);
}

PyRef tuple_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return PyRef::steal(require(PyTuple_New(0)));
  if (!PyTuple_Check(value)) raise_conversion_error("args", value, "PyTuple");
  return PyRef::borrow(value);
}

// No kwargs are held as none at all (a call takes NULL for none): every job that gave none would
// otherwise keep an empty dict of its own.
PyRef dict_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return PyRef{};
  if (!PyDict_Check(value)) raise_conversion_error("kwargs", value, "PyDict");
  return PyRef::borrow(value);
}

void check_pattern(const TriggerValue& trigger) {
  const auto* cron_trigger = std::get_if<CronTrigger>(&trigger);
  if (cron_trigger == nullptr) return;
  if (cron::has_zone_prefix(cron_trigger->expr)) share_zone_search_path();
  try {
    (void)cron::parse(cron_trigger->expr);
  } catch (const cron::Error& error) {
    raise_plain(error.text());  // whole: a pattern may carry a NUL into it
  }
}

void check_handler(PyObject* handler) {
  PyRef inspect = PyRef::steal(require(PyImport_ImportModule("inspect")));
  PyRef name = PyRef::steal(require(PyUnicode_FromString("iscoroutinefunction")));
  // The handler is the one argument, also when it is a tuple (a format of "O" would spread it).
  PyRef answer = PyRef::steal(require(PyObject_CallMethodOneArg(inspect.get(), name.get(), handler)));
  if (!PyBool_Check(answer.get())) {
    raise(PyExc_TypeError, "'" + type_name(answer.get()) + "' object cannot be converted to 'PyBool'");
  }
  if (answer.get() == Py_False) raise_plain("handler is not an async function");
}

// schedule($self, handler, trigger, args=None, kwargs=None, id=None)
PyObject* schedule(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    drain_deferred_releases();
    static const Signature signature{"Scheduler.schedule", {"handler", "trigger", "args", "kwargs", "id"}, 2};
    PyObject* bound[5];
    bind_arguments(signature, args, nargs, kwnames, bound);
    auto hold = access_of(self).exclusive();
    refuse_if_inherited(state_of(self));
    TriggerValue trigger = extract_trigger(bound[1], "trigger");
    PyRef call_args = tuple_argument(bound[2]);
    PyRef call_kwargs = dict_argument(bound[3]);
    std::optional<std::string> given_id;
    if (bound[4] != nullptr && bound[4] != Py_None) given_id = utf8_argument(bound[4], "id");

    check_pattern(trigger);
    check_handler(bound[0]);
    std::string generated = next_generated_id();

    SchedulerState& state = state_of(self);
    Job job{given_id ? std::move(*given_id) : std::move(generated),
            std::make_shared<const JobCall>(
                JobCall{PyRef::borrow(bound[0]), std::move(call_args), std::move(call_kwargs)}),
            std::move(trigger), std::make_shared<std::atomic<bool>>(state.started),
            runs_observed() ? std::make_shared<JobStatus>(registration_counter.fetch_add(1)) : nullptr};
    state.jobs.insert_or_assign(job.id, job);
    auto locals = capture_task_locals();  // the job stays registered if there is no running loop
    // Most hand-overs need no waiting: settle those here instead of on a worker thread.
    if (!state.started) return finished_operation(JobId{job.id}, std::move(locals));
    job = with_own_call(job);  // what goes to the supervisor holds references of its own
    if (state.new_job_tx) {
      std::string id = job.id;
      switch (state.new_job_tx->try_send(job)) {
        case rt::TrySend::Sent:
          return finished_operation(JobId{std::move(id)}, std::move(locals));
        case rt::TrySend::Closed:
          return finished_operation(PlainError{"channel closed"}, std::move(locals));
        case rt::TrySend::Full:
          break;  // 1024 jobs queued: wait for room on the runtime
      }
    }
    return start_operation(hand_job_to_supervisor(std::move(job), state.started, state.new_job_tx),
                           std::move(locals));
  });
}

// start($self)
PyObject* start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    drain_deferred_releases();
    static const Signature signature{"Scheduler.start", {}, 0};
    bind_arguments(signature, args, nargs, kwnames, {});
    auto hold = access_of(self).exclusive();
    SchedulerState& state = state_of(self);
    refuse_if_inherited(state);
    state.started = true;
    state.runtime_generation = rt::fork_generation();
    // Tasks a cancelled start() left running are stopped first; the new supervisor waits for them
    // to end before it starts its own, so that no job ever runs in two tasks.
    auto retired = retire_orphaned_tasks(state);
    for (auto& [id, job] : state.jobs) job.active->store(true);
    job_switched_on().ring();
    // Replacing the senders closes the channels of a supervisor that is still running, which then
    // shuts its own job tasks down.
    auto [shutdown_sender, shutdown_receiver] = rt::channel<rt::Signal>(1);
    state.shutdown_tx = std::move(shutdown_sender);
    auto [new_job_sender, new_job_receiver] = rt::channel<Job>(1024);
    state.new_job_tx = std::move(new_job_sender);
    auto locals = capture_task_locals_for_jobs();
    std::vector<Job> copies;
    copies.reserve(state.jobs.size());
    for (const auto& [id, job] : state.jobs) copies.push_back(with_own_call(job));
    auto launched = std::make_shared<LaunchedTasks>();
    state.launched.push_back(launched);
    return start_operation(supervise(std::move(copies), locals, std::move(new_job_receiver),
                                     std::move(shutdown_receiver), std::move(launched), std::move(retired)),
                           locals);
  });
}

// shutdown($self)
PyObject* shutdown(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    drain_deferred_releases();
    static const Signature signature{"Scheduler.shutdown", {}, 0};
    bind_arguments(signature, args, nargs, kwnames, {});
    auto hold = access_of(self).exclusive();
    const SchedulerState& state = state_of(self);
    refuse_if_inherited(state);
    auto locals = capture_task_locals();
    if (!state.started)
      return finished_operation(PlainError{"scheduler is not started yet"}, std::move(locals));
    std::optional<rt::Sender<rt::Signal>> sender = state.shutdown_tx;
    if (sender) {
      rt::Signal request;
      switch (sender->try_send(request)) {
        case rt::TrySend::Sent:
          return finished_operation(EmptyTuple{}, std::move(locals));
        case rt::TrySend::Closed:
          return finished_operation(PlainError{"channel closed"}, std::move(locals));
        case rt::TrySend::Full:
          break;  // an earlier request still waits: wait for its slot
      }
    }
    return start_operation(request_shutdown(state.started, std::move(sender)), std::move(locals));
  });
}

PyObject* set_active(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     const Signature& signature, bool active) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    drain_deferred_releases();
    PyObject* bound[1];
    bind_arguments(signature, args, nargs, kwnames, bound);
    auto hold = access_of(self).shared();
    // Its job tasks are the parent's: a flag stored here would reach no task, and saying nothing
    // would hide that.
    refuse_if_inherited(state_of(self));
    const std::string id = utf8_argument(bound[0], "id");
    const auto& jobs = state_of(self).jobs;
    auto found = jobs.find(id);
    if (found == jobs.end()) raise_plain("Job " + id + " not found");
    found->second.active->exchange(active);
    if (active) job_switched_on().ring();
    Py_RETURN_NONE;
  });
}

// pause($self, id)
PyObject* pause(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Scheduler.pause", {"id"}, 1};
  return set_active(self, args, nargs, kwnames, signature, false);
}

// resume($self, id)
PyObject* resume(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature signature{"Scheduler.resume", {"id"}, 1};
  return set_active(self, args, nargs, kwnames, signature, true);
}

template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"schedule", as_method(schedule), METH_FASTCALL | METH_KEYWORDS,
     "schedule($self, handler, trigger, args=None, kwargs=None, id=None)\n--\n\n"},
    {"pause", as_method(pause), METH_FASTCALL | METH_KEYWORDS, "pause($self, id)\n--\n\n"},
    {"resume", as_method(resume), METH_FASTCALL | METH_KEYWORDS, "resume($self, id)\n--\n\n"},
    {"shutdown", as_method(shutdown), METH_FASTCALL | METH_KEYWORDS, "shutdown($self)\n--\n\n"},
    {"start", as_method(start), METH_FASTCALL | METH_KEYWORDS, "start($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyObject* scheduler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    static const Signature signature{"Scheduler.__new__", {}, 0};
    bind_arguments(signature, args, kwargs, {});
    PyObject* self = require(type->tp_alloc(type, 0));
    new (&state_of(self)) SchedulerState();
    new (&access_of(self)) AccessFlag();
    live_schedulers().push_back(self);
    return self;
  });
}

// The collector sees exactly the references the object owns: its type and its registry's.
int scheduler_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const auto& [id, job] : state_of(self).jobs) {
    Py_VISIT(job.call->callable.get());
    Py_VISIT(job.call->args.get());
    Py_VISIT(job.call->kwargs.get());
  }
  return 0;
}

// Breaks a cycle through the registry. The senders stay: they hold nothing of Python, and the
// workers never look at this object, so it stays fit for use and for dealloc.
int scheduler_clear(PyObject* self) {
  // Moved out before release: a finaliser run by the release may call back into this object.
  JobRegistry released = std::move(state_of(self).jobs);
  state_of(self).jobs.clear();
  return 0;
}

void scheduler_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  std::erase(live_schedulers(), self);
  // Dropping the senders closes the channels: a running supervisor then shuts its jobs down. Tasks
  // that no supervisor looks after any more are stopped here. In a forked child an inherited
  // scheduler's senders are left alone as they go, and so is the record of its tasks, whose lock a
  // vanished thread may hold.
  if (inherited_from_parent(state_of(self))) {
    for (auto& tasks : state_of(self).launched) rt::abandon(tasks);
  } else {
    (void)retire_orphaned_tasks(state_of(self));
  }
  state_of(self).~SchedulerState();
  access_of(self).~AccessFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(scheduler_new)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(scheduler_dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(scheduler_traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(scheduler_clear)},
                       {Py_tp_methods, methods},
                       {Py_tp_doc, const_cast<char*>("Scheduler()\n--\n\n")},
                       {0, nullptr}};
PyType_Spec scheduler_layout = {"tyvo.Scheduler", sizeof(SchedulerObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

PyObject* scheduler_class() {
  static PyObject* type = PyType_FromSpec(&scheduler_layout);
  return type == nullptr ? nullptr : Py_NewRef(type);
}

std::vector<RegisteredJob> registered_jobs(PyObject* scheduler) {
  PyRef type = PyRef::steal(require(scheduler_class()));
  if (!PyObject_TypeCheck(scheduler, reinterpret_cast<PyTypeObject*>(type.get()))) {
    raise(PyExc_TypeError, "expected a tyvo.Scheduler, not " + type_name(scheduler));
  }
  auto hold = access_of(scheduler).shared();
  std::vector<RegisteredJob> jobs;
  jobs.reserve(state_of(scheduler).jobs.size());
  for (const auto& [id, job] : state_of(scheduler).jobs) {
    jobs.push_back(RegisteredJob{id, job.trigger, job.active->load(), job.status});
  }
  std::sort(jobs.begin(), jobs.end(), [](const RegisteredJob& a, const RegisteredJob& b) {
    return (a.status ? a.status->registration() : 0) < (b.status ? b.status->registration() : 0);
  });
  return jobs;
}

std::vector<PyRef> started_schedulers() {
  std::vector<PyRef> started;
  for (PyObject* scheduler : live_schedulers()) {
    if (state_of(scheduler).started && !inherited_from_parent(state_of(scheduler))) {
      started.push_back(PyRef::borrow(scheduler));
    }
  }
  return started;
}

}  // namespace tyvo::py
