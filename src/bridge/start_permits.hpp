// How many runs may wait, handed over, for the event loop to take their first step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "bridge/runtime/fork_generation.hpp"

namespace tyvo::py {

class RunQueue;

// Permits for a batch of runs handed to a loop. They are given back once the loop has taken the
// batch's first steps, or when that can no longer happen (the batch or its callback was dropped),
// so that a burst of due runs queues as small requests in the run starter, not as thousands of
// coroutines and tasks waiting on the loop.
class StartPermits {
 public:
  StartPermits() noexcept = default;
  StartPermits(std::shared_ptr<RunQueue> owner, std::size_t count) noexcept
      : owner_(std::move(owner)), count_(count) {}
  StartPermits(StartPermits&& other) noexcept
      : owner_(std::move(other.owner_)), count_(std::exchange(other.count_, 0)), generation_(other.generation_) {}
  StartPermits& operator=(StartPermits&& other) noexcept {
    if (this != &other) {
      give_back();
      owner_ = std::move(other.owner_);
      count_ = std::exchange(other.count_, 0);
      generation_ = other.generation_;
    }
    return *this;
  }
  ~StartPermits() { give_back(); }

  // Moves `count` of these permits (at most all of them) into a holder of their own.
  StartPermits split(std::size_t count) noexcept {
    if (count > count_) count = count_;
    count_ -= count;
    StartPermits part(owner_, count);
    part.generation_ = generation_;
    return part;
  }

  // Takes `count` more permits from the same owner.
  void add(std::size_t count) noexcept { count_ += count; }

  void give_back() noexcept;

 private:
  std::shared_ptr<RunQueue> owner_;
  std::size_t count_ = 0;
  // Permits of a run starter inherited through fork go nowhere: it is the parent's.
  std::uint32_t generation_ = rt::fork_generation();
};

}  // namespace tyvo::py
