#pragma once

#include "bridge/runtime/detail/context.hpp"
#include "bridge/runtime/task.hpp"

#include <coroutine>
#include <mutex>

namespace tyvo::rt::detail {

// Drives the two branches of a race on behalf of the racing coroutine.
//
// Each branch runs in its own context. A wake for a branch does not resume
// it: it parks the branch's suspended coroutine here and, if the driver is
// idle, schedules the driver in the race's own context. The driver then looks
// at the first branch before the second, so when both were woken before it
// ran, the first one is advanced first and, if it finishes, wins; the second
// is then destroyed without having run (a receive in it leaves its message in
// the channel).
//
// Only the driver resumes or destroys the branches, so a branch is never
// resumed and destroyed at once. Its destruction unregisters the branch's
// awaiter under the primitive's lock, which is also the lock a wake holds
// while it reaches wake() here, so no wake is in flight once a branch is gone.
class RaceCore {
 public:
  explicit RaceCore(Context& parent);
  RaceCore(const RaceCore&) = delete;
  RaceCore& operator=(const RaceCore&) = delete;

  // Starts both branches (the first one first), then advances them as they
  // are woken until one finishes. Yields the index of the finished branch.
  Task<int> drive(std::coroutine_handle<> first, std::coroutine_handle<> second);

 private:
  class Branch final : public Context {
   public:
    Branch(RaceCore& core, int index) noexcept;
    void schedule(std::coroutine_handle<> handle) override;

   private:
    RaceCore& core_;
    int index_;
  };

  struct UntilWoken {
    RaceCore& core;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> driver);
    void await_resume() const noexcept {}
  };

  void wake(int branch, std::coroutine_handle<> handle);
  std::coroutine_handle<> take_woken(int branch);
  bool advance(int branch, std::coroutine_handle<> resume_point, std::coroutine_handle<> top);

  Context& parent_;
  Branch branches_[2];

  std::mutex mutex_;
  // --- guarded by mutex_ ---
  std::coroutine_handle<> woken_[2];
  std::coroutine_handle<> idle_driver_;  // set while the driver waits for a wake
};

}  // namespace tyvo::rt::detail
