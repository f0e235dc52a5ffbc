#include "bridge/runtime/detail/first_wake.hpp"

namespace tyvo::rt::detail {

void FirstWake::begin(std::coroutine_handle<> suspended) noexcept {
  target_ = &wake_target();
  suspended_ = suspended;
}

void FirstWake::woken(int index) {
  int undecided = -1;
  if (!winner_.compare_exchange_strong(undecided, index, std::memory_order_acq_rel)) return;
  // Like every waker, this only queues the coroutine (see Context::schedule).
  if (handed_over_.exchange(true, std::memory_order_acq_rel)) target_->schedule(suspended_);
}

}  // namespace tyvo::rt::detail
