#include "bridge/runtime/detail/budget.hpp"

namespace tyvo::rt::detail {
namespace {

// Out of line on purpose: a coroutine resumed on another thread must not reuse the address of
// the first thread's counter.
thread_local bool budgeted = false;
thread_local int steps_left = ready_steps_per_turn;

}  // namespace

void refill_budget() noexcept { steps_left = ready_steps_per_turn; }

bool take_ready_step() noexcept {
  if (!budgeted) return true;
  if (steps_left <= 0) return false;
  --steps_left;
  return true;
}

void budget_this_thread() noexcept { budgeted = true; }

}  // namespace tyvo::rt::detail
