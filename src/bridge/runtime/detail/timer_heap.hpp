#pragma once

#include "bridge/runtime/detail/waiter.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tyvo::rt::detail {

// One pending sleep. Lives inside the sleeping coroutine's frame, so the heap
// never allocates per entry.
struct TimerEntry {
  static constexpr std::size_t not_queued = static_cast<std::size_t>(-1);

  std::int64_t deadline = 0;   // nanoseconds since the epoch of the entry's clock (see deadline.hpp)
  std::uint64_t sequence = 0;  // breaks ties: equal deadlines fire in the order they were added
  bool on_wall_clock = false;  // a calendar deadline, on the wall clock rather than the steady one
  std::size_t heap_index = not_queued;
  Waiter waiter;

  bool queued() const noexcept { return heap_index != not_queued; }
};

// A binary min-heap of entries ordered by (deadline, sequence). Each entry knows
// its slot, so removing a cancelled sleep costs O(log n) and no search.
class TimerHeap {
 public:
  bool empty() const noexcept { return entries_.empty(); }
  std::size_t size() const noexcept { return entries_.size(); }
  TimerEntry* top() const noexcept { return entries_.front(); }

  void push(TimerEntry* entry);
  TimerEntry* pop();
  void remove(TimerEntry* entry);

 private:
  static bool earlier(const TimerEntry* a, const TimerEntry* b) noexcept {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->sequence < b->sequence;
  }
  void place(std::size_t index, TimerEntry* entry) noexcept;
  void sift_up(std::size_t index) noexcept;
  void sift_down(std::size_t index) noexcept;

  std::vector<TimerEntry*> entries_;
};

}  // namespace tyvo::rt::detail
