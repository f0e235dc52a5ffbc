// Runtime work returned to Python as an asyncio future of the caller's loop.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <variant>

#include "bridge/runtime/task.hpp"
#include "bridge/task_locals.hpp"

namespace tyvo::py {

struct EmptyTuple {};                          // becomes ()
struct JobId { std::string text; };            // becomes a str
struct PlainError { std::string message; };    // becomes Exception(message)

// What an operation ends with. The text of an error is composed on the worker thread; the
// Python object is made only on delivery, under the lock.
using OperationResult = std::variant<EmptyTuple, JobId, PlainError>;
using Operation = rt::Task<OperationResult>;

// Starts `operation` on the worker runtime, scoped with `locals`, and returns a new future of
// `locals->loop` that receives its result; cancelling the future drops the operation at its next
// suspension point. Lock held; throws PythonErrorSet (the operation then never runs).
PyObject* start_operation(Operation operation, std::shared_ptr<const TaskLocals> locals);

}  // namespace tyvo::py
