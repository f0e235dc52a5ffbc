#include "bridge/task_locals.hpp"

#include "bridge/asyncio_api.hpp"
#include "bridge/run_starter.hpp"
#include "bridge/runtime/runtime.hpp"
#include "python/errors.hpp"
#include "python/exit_release.hpp"

namespace tyvo::py {

std::shared_ptr<const TaskLocals> capture_task_locals() {
  if (auto scoped = rt::current_task_local()) return std::static_pointer_cast<const TaskLocals>(scoped);
  PyRef loop = PyRef::steal(require(PyObject_CallNoArgs(asyncio::get_running_loop())));
  PyRef context = PyRef::steal(require(PyObject_CallNoArgs(asyncio::copy_context())));
  return std::make_shared<TaskLocals>(TaskLocals{std::move(loop), std::move(context), nullptr});
}

namespace {

// The pending tasks of a closed loop that tyvo made for runs (they do not log being destroyed
// pending) and that never took their first step: their coroutines are closed. Lock held.
void close_unstarted_runs(PyObject* loop) {
  PyRef closed = PyRef::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
  if (!closed || PyObject_IsTrue(closed.get()) <= 0) return;
  PyRef asyncio_module = PyRef::steal(PyImport_ImportModule("asyncio"));
  PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
  if (!asyncio_module || !inspect) return;
  PyRef tasks = PyRef::steal(PyObject_CallMethod(asyncio_module.get(), "all_tasks", "O", loop));
  PyRef iterator = tasks ? PyRef::steal(PyObject_GetIter(tasks.get())) : PyRef{};
  if (!iterator) return;
  while (PyRef task = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef logs = PyRef::steal(PyObject_GetAttrString(task.get(), "_log_destroy_pending"));
    if (!logs || logs.get() != Py_False) continue;
    PyRef coroutine = PyRef::steal(PyObject_CallMethod(task.get(), "get_coro", nullptr));
    if (!coroutine || !PyCoro_CheckExact(coroutine.get())) continue;
    PyRef state = PyRef::steal(PyObject_CallMethod(inspect.get(), "getcoroutinestate", "O", coroutine.get()));
    if (!state || PyUnicode_CompareWithASCIIString(state.get(), "CORO_CREATED") != 0) continue;
    PyRef done = PyRef::steal(PyObject_CallMethod(coroutine.get(), "close", nullptr));
  }
}

}  // namespace

void release_references(TaskLocals& locals) {
  if (locals.loop) {
    close_unstarted_runs(locals.loop.get());
    PyErr_Clear();
  }
  locals.loop.reset();
  locals.context.reset();
}

std::shared_ptr<const TaskLocals> capture_task_locals_for_jobs() {
  auto captured = capture_task_locals();
  auto locals = std::make_shared<TaskLocals>(TaskLocals{captured->loop, captured->context, new_run_queue()});
  release_at_exit(locals);  // held by the supervisor and every job task
  return locals;
}

}  // namespace tyvo::py
