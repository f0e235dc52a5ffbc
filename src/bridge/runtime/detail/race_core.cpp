#include "bridge/runtime/detail/race_core.hpp"

#include <cassert>
#include <utility>

namespace tyvo::rt::detail {

RaceCore::RaceCore(Context& parent) : parent_(parent), branches_{{*this, 0}, {*this, 1}} {}

RaceCore::Branch::Branch(RaceCore& core, int index) noexcept
    : Context(core.parent_.task_local()), core_(core), index_(index) {}

void RaceCore::Branch::schedule(std::coroutine_handle<> handle) { core_.wake(index_, handle); }

void RaceCore::wake(int branch, std::coroutine_handle<> handle) {
  std::coroutine_handle<> driver;
  {
    std::lock_guard lock(mutex_);
    assert(!woken_[branch] && "a branch woken twice without running");
    woken_[branch] = handle;
    driver = std::exchange(idle_driver_, {});
  }
  if (driver) parent_.schedule(driver);
}

std::coroutine_handle<> RaceCore::take_woken(int branch) {
  std::lock_guard lock(mutex_);
  return std::exchange(woken_[branch], {});
}

bool RaceCore::UntilWoken::await_suspend(std::coroutine_handle<> driver) {
  std::lock_guard lock(core.mutex_);
  if (core.woken_[0] || core.woken_[1]) return false;
  core.idle_driver_ = driver;
  return true;
}

bool RaceCore::advance(int branch, std::coroutine_handle<> resume_point, std::coroutine_handle<> top) {
  {
    ContextScope scope(&branches_[branch]);
    // Runs until the branch suspends again or finishes; a finished branch
    // has no continuation and returns here.
    resume_point.resume();
  }
  return top.done();
}

Task<int> RaceCore::drive(std::coroutine_handle<> first, std::coroutine_handle<> second) {
  const std::coroutine_handle<> tops[2] = {first, second};
  for (int branch = 0; branch < 2; ++branch) {
    if (advance(branch, tops[branch], tops[branch])) co_return branch;
  }
  for (;;) {
    co_await UntilWoken{*this};
    for (int branch = 0; branch < 2; ++branch) {
      const std::coroutine_handle<> woken = take_woken(branch);
      if (woken && advance(branch, woken, tops[branch])) co_return branch;
    }
  }
}

}  // namespace tyvo::rt::detail
