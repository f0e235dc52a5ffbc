#include "bridge/coroutine_handover.hpp"

#include "bridge/asyncio_api.hpp"
#include "bridge/callbacks.hpp"
#include "bridge/interpreter.hpp"
#include "module/errors.hpp"

namespace tyvo::py {

void hand_over_all(const TaskLocals& locals, std::vector<EnsureFutureEntry> entries, StartPermits permits) {
  PyRef callback = new_ensure_future(locals.loop, std::move(entries), std::move(permits));
  PyRef call_soon = PyRef::steal(require(PyObject_GetAttrString(locals.loop.get(), "call_soon_threadsafe")));
  PyRef args = PyRef::steal(require(PyTuple_Pack(1, callback.get())));
  PyRef kwargs = PyRef::steal(require(Py_BuildValue("{s:O}", "context", locals.context.get())));
  PyRef handle = PyRef::steal(require(PyObject_Call(call_soon.get(), args.get(), kwargs.get())));
}

rt::Task<CoroutineOutcome> await_completion(CompletionHandle handle) {
  std::optional<CoroutineOutcome> outcome = co_await handle;
  if (outcome) co_return std::move(*outcome);
  InterpreterLock lock;
  if (!lock.held()) co_return CoroutineOutcome(PyRef{});  // the program is ending; nobody looks
  PyObject* cancelled = PyObject_CallNoArgs(asyncio::cancelled_error());
  if (cancelled == nullptr) co_return CoroutineOutcome(PythonException::fetch());
  co_return CoroutineOutcome(PythonException{PyRef::steal(cancelled)});
}

}  // namespace tyvo::py
