// What a handed-over coroutine ended with: its return value or its exception.
#pragma once

#include <variant>

#include "bridge/python_exception.hpp"
#include "module/py_ref.hpp"

namespace tyvo::py {

using CoroutineOutcome = std::variant<PyRef, PythonException>;

}  // namespace tyvo::py
