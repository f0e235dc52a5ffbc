#include "bridge/coroutine_handover.hpp"

#include "bridge/asyncio_api.hpp"
#include "bridge/run_callbacks.hpp"
#include "python/interpreter.hpp"
#include "python/errors.hpp"

namespace tyvo::py {

std::vector<rt::OneshotSender<RunEnd>> hand_over_all(const TaskLocals& locals,
                                                     std::vector<EnsureFutureEntry> entries,
                                                     StartPermits permits) {
  PyRef callback = new_ensure_future(locals.loop, std::move(entries), std::move(permits));
  static PyObject* call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
  static PyObject* context_keyword = Py_BuildValue("(s)", "context");
  PyObject* args[] = {locals.loop.get(), callback.get(), locals.context.get()};
  PyRef handle = PyRef::steal(PyObject_VectorcallMethod(
      call_soon_threadsafe, args, 2, context_keyword));
  if (handle) return {};
  return refused_entries(callback.get());
}

CoroutineOutcome outcome_of_lost_run() {
  InterpreterLock lock;
  if (!lock.held()) return CoroutineOutcome(PyRef{});  // the program is ending; nobody looks
  PyObject* cancelled = PyObject_CallNoArgs(asyncio::cancelled_error());
  if (cancelled == nullptr) return CoroutineOutcome(PythonException::fetch());
  return CoroutineOutcome(PythonException{PyRef::steal(cancelled)});
}

}  // namespace tyvo::py
