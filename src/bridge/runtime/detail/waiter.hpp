#pragma once

#include "bridge/runtime/detail/context.hpp"
#include "bridge/runtime/fork_generation.hpp"

#include <coroutine>
#include <cstdint>

namespace tyvo::rt::detail {

// A suspended coroutine and the context that resumes it.
struct Waiter {
  Context* context = nullptr;
  std::coroutine_handle<> handle;
  std::uint32_t generation = 0;  // fork_generation() when it was parked

  void park(std::coroutine_handle<> suspended) {
    context = &wake_target();
    handle = suspended;
    generation = fork_generation();
  }

  // A coroutine parked before a fork stays parked in the child for good: its frame belongs to the
  // parent's runtime (see fork_generation.hpp).
  void wake() const {
    if (!inherited(generation)) context->schedule(handle);
  }
};

}  // namespace tyvo::rt::detail
