#pragma once

#include "bridge/runtime/detail/context.hpp"

#include <atomic>
#include <coroutine>

namespace tyvo::rt::detail {

// Picks the first of two wake-ups for a coroutine parked on two primitives at once, and
// resumes it exactly once.
//
// Each primitive is given one of the two sides as the waiter's context, so a wake from it
// lands here instead of resuming the coroutine. The first side to wake wins; a later wake from
// the other does nothing. A wake may arrive on another thread while the coroutine is still
// registering with the second primitive: whichever of the two (the winning wake, the end of
// the registration) comes second resumes it, so it never runs twice or while it is suspending.
class FirstWake {
 public:
  FirstWake() noexcept : sides_{{*this, 0}, {*this, 1}} {}
  FirstWake(const FirstWake&) = delete;
  FirstWake& operator=(const FirstWake&) = delete;

  // Before either side is registered: where the coroutine goes once one side has won.
  void begin(std::coroutine_handle<> suspended) noexcept;
  Context& side(int index) noexcept { return sides_[index]; }

  // Side `index` has what the coroutine waits for (from a wake, or at once when registering).
  void woken(int index);
  bool decided() const noexcept { return winner_.load(std::memory_order_acquire) >= 0; }
  // At the end of await_suspend: true when the coroutine stays suspended for the winner's wake.
  bool stay_suspended() noexcept { return !handed_over_.exchange(true, std::memory_order_acq_rel); }
  // After the resumption: 0 or 1.
  int winner() const noexcept { return winner_.load(std::memory_order_acquire); }

 private:
  class Side final : public Context {
   public:
    Side(FirstWake& owner, int index) noexcept : Context(nullptr), owner_(owner), index_(index) {}
    void schedule(std::coroutine_handle<>) override { owner_.woken(index_); }

   private:
    FirstWake& owner_;
    int index_;
  };

  Side sides_[2];
  Context* target_ = nullptr;
  std::coroutine_handle<> suspended_;
  std::atomic<int> winner_{-1};
  std::atomic<bool> handed_over_{false};
};

}  // namespace tyvo::rt::detail
