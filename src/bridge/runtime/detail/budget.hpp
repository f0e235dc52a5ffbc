#pragma once

#include "bridge/runtime/detail/context.hpp"

#include <coroutine>

namespace tyvo::rt::detail {

// The cooperative budget of the coroutine a pool worker is running.
//
// An await that finds what it waits for already there goes on without suspending: fast, but a
// coroutine whose awaits are ready again and again (back-to-back sleeps whose deadlines have
// passed, a channel that always has a message) would keep its worker for good, and once every
// worker is kept nothing else runs, not even the stop that would end them. So each resumption
// from the pool's queue gets a budget of ready steps; an awaiter that would go on without
// suspending takes one step from it, and when none is left it suspends instead, and the
// coroutine goes to the back of the queue. Outside the pool's workers there is no budget.
inline constexpr int ready_steps_per_turn = 128;

// By a pool worker, before it resumes a coroutine taken from its queue.
void refill_budget() noexcept;

// By an awaiter that is about to go on without suspending: true when it may, false when the
// budget is spent and it must suspend and have the coroutine queued again.
bool take_ready_step() noexcept;

// For an awaiter whose wait turned out to be over as it registered: false (go on at once) while
// the budget lasts; otherwise queues the coroutine again and returns true (stay suspended). Safe
// under a primitive's lock: it only queues.
inline bool requeue_if_budget_spent(std::coroutine_handle<> suspended) {
  if (take_ready_step()) return false;
  wake_target().schedule(suspended);
  return true;
}

// By a pool worker as it starts: its resumptions are budgeted from now on.
void budget_this_thread() noexcept;

}  // namespace tyvo::rt::detail
