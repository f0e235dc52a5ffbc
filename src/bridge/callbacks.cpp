#include "bridge/callbacks.hpp"

#include <optional>

#include "bridge/callback_object.hpp"
#include "bridge/run_callbacks.hpp"
#include "python/errors.hpp"

namespace tyvo::py {
namespace {

using namespace callback_object;

// --- PyDoneCallback -------------------------------------------------------------------------

struct DoneCallbackState {
  std::optional<rt::OneshotSender<rt::Signal>> cancellation;
};

PyObject* done_callback_call(PyObject* self, PyObject* args, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* future = single_argument(args, 0);
    bool cancelled = false;
    try {
      cancelled = future_cancelled(future);
    } catch (const PythonErrorSet&) {
      if (interrupt_pending()) throw;  // goes on out of the loop, as from asyncio's own callbacks
      print_pending_exception();
      Py_RETURN_NONE;
    }
    auto& link = state_of<DoneCallbackState>(self).cancellation;
    if (cancelled && link) {
      link->send(rt::Signal{});
      link.reset();
    }
    Py_RETURN_NONE;
  });
}

// --- CheckedCompletor -----------------------------------------------------------------------

struct NoState {};

PyObject* checked_completor_call(PyObject*, PyObject* args, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* future = single_argument(args, 0);
    PyObject* method = single_argument(args, 1);
    PyObject* value = single_argument(args, 2);
    // Cancelled between the worker's check and now: setting a result would raise InvalidStateError.
    if (future_cancelled(future)) Py_RETURN_NONE;
    start_queued_rests(future);
    PyRef done = PyRef::steal(require(PyObject_CallOneArg(method, value)));
    Py_RETURN_NONE;
  });
}

}  // namespace

PyRef new_done_callback(rt::OneshotSender<rt::Signal> cancellation) {
  static PyTypeObject* type = callback_type<DoneCallbackState>("tyvo.PyDoneCallback", done_callback_call);
  return new_callback(type, DoneCallbackState{std::move(cancellation)});
}

PyRef new_checked_completor() {
  static PyTypeObject* type = callback_type<NoState>("tyvo.CheckedCompletor", checked_completor_call);
  return new_callback(type, NoState{});
}

}  // namespace tyvo::py
