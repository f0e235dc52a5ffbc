// What a handed-over coroutine ended with, and how a run ended as its job task learns it.
#pragma once

#include <chrono>
#include <string>
#include <variant>

#include "python/python_exception.hpp"
#include "python/py_ref.hpp"

namespace tyvo::py {

// The coroutine's return value or its exception.
using CoroutineOutcome = std::variant<PyRef, PythonException>;

// The one message a run sends its job task: the coroutine's outcome once it ran on the loop, or
// why the run never got there.
struct RunEnd {
  bool started = false;
  // Not started because the job was paused while the run waited for its turn: as if the run step
  // had found the job inactive.
  bool unwanted = false;
  // When started: the instant the coroutine's task finished, on both clocks, taken on the loop's
  // thread. The next fire time counts from here, not from when a worker got to hear of it.
  std::chrono::steady_clock::time_point finished_steady;
  std::chrono::system_clock::time_point finished_wall;
  CoroutineOutcome outcome;  // when started; a return value is dropped on the loop's thread
  std::string failure;       // when not: the rendered exception of the handler call or of the
                             // hand-over; empty when the program is ending and nothing was tried
};

}  // namespace tyvo::py
