// Runtime work returned to Python as an asyncio future of the caller's loop.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <variant>

#include "bridge/runtime/task.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

struct EmptyTuple {};  // becomes ()
struct JobId {
  std::string text;
};  // becomes a str
struct PlainError {
  std::string message;
};  // becomes Exception(message)

// What an operation ends with. The text of an error is composed on the worker thread; the
// Python object is made only on delivery, under the lock.
using OperationResult = std::variant<EmptyTuple, JobId, PlainError>;
using Operation = rt::Task<OperationResult>;

// Starts `operation` on the worker runtime, scoped with `locals`, and returns a new future of
// `locals->loop` that receives its result; cancelling the future drops the operation at its next
// suspension point. Lock held; throws PythonErrorSet (the operation then never runs).
PyObject* start_operation(Operation operation, std::shared_ptr<const TaskLocals> locals);

// For an operation whose result is known before anything had to wait: a new future of
// `locals.loop` that already holds `result`, with no trip through the worker runtime. Only on
// the loop's own thread (the caller of a Scheduler method); elsewhere it falls back to
// start_operation. Lock held; throws PythonErrorSet.
PyObject* finished_operation(OperationResult result, std::shared_ptr<const TaskLocals> locals);

}  // namespace tyvo::py
