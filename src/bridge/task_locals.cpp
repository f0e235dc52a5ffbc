#include "bridge/task_locals.hpp"

#include "bridge/asyncio_api.hpp"
#include "bridge/run_starter.hpp"
#include "bridge/runtime/runtime.hpp"
#include "module/errors.hpp"
#include "module/exit_release.hpp"

namespace tyvo::py {

std::shared_ptr<const TaskLocals> capture_task_locals() {
  if (auto scoped = rt::current_task_local()) return std::static_pointer_cast<const TaskLocals>(scoped);
  PyRef loop = PyRef::steal(require(PyObject_CallNoArgs(asyncio::get_running_loop())));
  PyRef context = PyRef::steal(require(PyObject_CallNoArgs(asyncio::copy_context())));
  return std::make_shared<TaskLocals>(TaskLocals{std::move(loop), std::move(context), nullptr});
}

std::shared_ptr<const TaskLocals> capture_task_locals_for_jobs() {
  auto captured = capture_task_locals();
  auto locals = std::make_shared<TaskLocals>(TaskLocals{captured->loop, captured->context, new_run_queue()});
  release_at_exit(locals);  // held by the supervisor and every job task
  return locals;
}

}  // namespace tyvo::py
