#include "bridge/operation.hpp"

#include <chrono>
#include <optional>

#include "bridge/callbacks.hpp"
#include "bridge/fault_type.hpp"
#include "python/interpreter.hpp"
#include "python/python_exception.hpp"
#include "bridge/runtime/oneshot.hpp"
#include "bridge/runtime/race.hpp"
#include "bridge/runtime/runtime.hpp"
#include "bridge/runtime/timer.hpp"
#include "python/errors.hpp"
#include "python/exit_release.hpp"

namespace tyvo::py {

// An operation's future, held by its watcher: released at exit (see python/exit_release.hpp).
void release_references(PyRef& future) { future.reset(); }

namespace {

// Completes when the future's done-callback reports a cancellation. If the callback goes away
// without one (the future completed), it never completes.
rt::Task<void> cancellation_of(rt::OneshotReceiver<rt::Signal> link) {
  const auto signal = co_await link;
  if (signal) co_return;
  for (;;) co_await rt::sleep_for(std::chrono::hours(24 * 365));
}

PyObject* to_python(const OperationResult& result) {
  struct Convert {
    PyObject* operator()(const EmptyTuple&) const { return PyTuple_New(0); }
    PyObject* operator()(const JobId& id) const {
      return PyUnicode_FromStringAndSize(id.text.data(), Py_ssize_t(id.text.size()));
    }
    PyObject* operator()(const PlainError& error) const {
      return PyObject_CallFunction(PyExc_Exception, "s#", error.message.data(),
                                   Py_ssize_t(error.message.size()));
    }
  };
  return std::visit(Convert{}, result);
}

// Hands the outcome to the loop's thread, where CheckedCompletor sets it unless the future was
// cancelled meanwhile. Worker thread, lock held.
void deliver(PyObject* future, PyObject* loop, PyRef value, bool as_exception) {
  PyRef method =
      PyRef::steal(require(PyObject_GetAttrString(future, as_exception ? "set_exception" : "set_result")));
  PyRef completor = new_checked_completor();
  PyRef call_soon = PyRef::steal(require(PyObject_GetAttrString(loop, "call_soon_threadsafe")));
  PyRef args = PyRef::steal(require(PyTuple_Pack(4, completor.get(), future, method.get(), value.get())));
  PyRef kwargs = PyRef::steal(require(Py_BuildValue("{s:O}", "context", Py_None)));
  PyRef handle = PyRef::steal(require(PyObject_Call(call_soon.get(), args.get(), kwargs.get())));
}

bool loop_closed(PyObject* loop) {
  PythonException failure = PythonException::fetch();  // asked with the failure set aside
  PyRef answer = PyRef::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
  const int closed = answer ? PyObject_IsTrue(answer.get()) : -1;
  PyErr_Clear();
  std::move(failure).restore();
  return closed > 0;
}

bool cancelled_or_unknown(PyObject* future) {
  PyRef answer = PyRef::steal(PyObject_CallMethod(future, "cancelled", nullptr));
  if (!answer) {
    print_pending_exception();  // then carry on as if it were not cancelled
    return false;
  }
  const int truth = PyObject_IsTrue(answer.get());
  if (truth < 0) print_pending_exception();
  return truth > 0;
}

void deliver_outcome(const PyRef& future, const TaskLocals& locals,
                     const std::optional<OperationResult>& result, const std::string& fault) {
  if (cancelled_or_unknown(future.get())) return;
  try {
    if (result) {
      const bool is_error = std::holds_alternative<PlainError>(*result);
      deliver(future.get(), locals.loop.get(), PyRef::steal(require(to_python(*result))), is_error);
    } else {
      deliver(future.get(), locals.loop.get(), PyRef::steal(require(new_fault(fault))), true);
    }
  } catch (const PythonErrorSet&) {
    // The future stays pending. On a closed loop (the program has left asyncio.run, say) nobody
    // can await it any more, and the failure is no news to anyone: it goes silently.
    if (loop_closed(locals.loop.get())) {
      PyErr_Clear();
      return;
    }
    print_pending_exception();
  }
}

// Delivers, then lets go of the future and the locals while the lock is held, so that a finished
// operation pins nothing (the loop, the context) until some later drain.
void complete_future(std::shared_ptr<PyRef>& future, std::shared_ptr<const TaskLocals>& locals,
                     const std::optional<OperationResult>& result, const std::string& fault) {
  InterpreterLock lock;
  if (!lock.held()) return;  // the program is ending; nobody will await this
  deliver_outcome(*future, *locals, result, fault);
  future->reset();
  future.reset();
  locals.reset();
}

rt::Task<void> watch_operation(Operation operation, rt::OneshotReceiver<rt::Signal> cancellation,
                               std::shared_ptr<PyRef> future, std::shared_ptr<const TaskLocals> locals) {
  std::optional<OperationResult> result;
  std::string fault;
  try {
    auto outcome = co_await rt::race(std::move(operation), cancellation_of(std::move(cancellation)));
    if (outcome.index() == 1) co_return;  // cancelled by Python: deliver nothing
    result = std::move(std::get<0>(outcome));
  } catch (const std::exception& error) {
    fault = error.what();
  } catch (...) {
    ::tyvo::rt::rethrow_if_forced_unwind();
    fault = "unknown error";
  }
  complete_future(future, locals, result, fault);
}

Operation already_finished(OperationResult result) { co_return result; }

}  // namespace

PyObject* finished_operation(OperationResult result, std::shared_ptr<const TaskLocals> locals) {
  // Inside an operation's scope the caller is a worker thread, which must not touch the future.
  if (rt::on_runtime_thread()) return start_operation(already_finished(std::move(result)), std::move(locals));
  PyRef future = PyRef::steal(require(PyObject_CallMethod(locals->loop.get(), "create_future", nullptr)));
  PyRef value = PyRef::steal(require(to_python(result)));
  PyRef method = PyRef::steal(require(
      PyUnicode_FromString(std::holds_alternative<PlainError>(result) ? "set_exception" : "set_result")));
  PyRef done = PyRef::steal(require(PyObject_CallMethodOneArg(future.get(), method.get(), value.get())));
  return future.release();
}

PyObject* start_operation(Operation operation, std::shared_ptr<const TaskLocals> locals) {
  auto [link_sender, link_receiver] = rt::oneshot<rt::Signal>();
  PyRef future = PyRef::steal(require(PyObject_CallMethod(locals->loop.get(), "create_future", nullptr)));
  PyRef callback = new_done_callback(std::move(link_sender));
  PyRef added =
      PyRef::steal(require(PyObject_CallMethod(future.get(), "add_done_callback", "O", callback.get())));
  auto scope = std::const_pointer_cast<TaskLocals>(locals);  // read-only to whoever finds it
  release_at_exit(scope);
  auto held_future = std::make_shared<PyRef>(future);
  release_at_exit(held_future);
  rt::spawn(watch_operation(std::move(operation), std::move(link_receiver), std::move(held_future), locals),
            std::move(scope));
  return future.release();
}

}  // namespace tyvo::py
