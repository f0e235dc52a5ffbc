#include "bridge/runtime/bell.hpp"

#include "bridge/runtime/detail/budget.hpp"
#include "bridge/runtime/fork_generation.hpp"

namespace tyvo::rt {

std::uint64_t Bell::rings() const {
  std::lock_guard lock(mutex_);
  return rings_;
}

void Bell::ring() {
  std::lock_guard lock(mutex_);
  ++rings_;
  // Wakes only queue the coroutines (see Context::schedule), so this is safe under the lock.
  while (Node* node = waiters_.pop_front()) node->waiter.wake();
}

bool Bell::Wait::await_suspend(std::coroutine_handle<> suspended) {
  std::lock_guard lock(bell_.mutex_);
  if (bell_.rings_ != noted_) return detail::requeue_if_budget_spent(suspended);
  node_.waiter.park(suspended);
  bell_.waiters_.push_back(&node_);
  return true;
}

Bell::Wait::~Wait() {
  // A wait parked before a fork belongs to the parent's bell, which the child never touches.
  if (inherited(node_.waiter.generation)) return;
  std::lock_guard lock(bell_.mutex_);
  if (node_.linked) bell_.waiters_.remove(&node_);
}

}  // namespace tyvo::rt
