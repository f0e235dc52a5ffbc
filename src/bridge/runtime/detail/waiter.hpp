#pragma once

#include "bridge/runtime/detail/context.hpp"

#include <coroutine>

namespace tyvo::rt::detail {

// A suspended coroutine and the context that resumes it.
struct Waiter {
  Context* context = nullptr;
  std::coroutine_handle<> handle;

  void park(std::coroutine_handle<> suspended) {
    context = &wake_target();
    handle = suspended;
  }

  void wake() const { context->schedule(handle); }
};

}  // namespace tyvo::rt::detail
