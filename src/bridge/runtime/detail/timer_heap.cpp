#include "bridge/runtime/detail/timer_heap.hpp"

#include <cassert>

namespace tyvo::rt::detail {

void TimerHeap::push(TimerEntry* entry) {
  assert(!entry->queued());
  entries_.push_back(entry);
  entry->heap_index = entries_.size() - 1;
  sift_up(entries_.size() - 1);
}

TimerEntry* TimerHeap::pop() {
  TimerEntry* first = entries_.front();
  remove(first);
  return first;
}

void TimerHeap::remove(TimerEntry* entry) {
  assert(entry->queued() && entries_[entry->heap_index] == entry);
  const std::size_t index = entry->heap_index;
  TimerEntry* last = entries_.back();
  entries_.pop_back();
  entry->heap_index = TimerEntry::not_queued;
  if (last == entry) return;
  place(index, last);
  sift_up(index);
  sift_down(last->heap_index);
}

void TimerHeap::place(std::size_t index, TimerEntry* entry) noexcept {
  entries_[index] = entry;
  entry->heap_index = index;
}

void TimerHeap::sift_up(std::size_t index) noexcept {
  TimerEntry* moving = entries_[index];
  while (index > 0) {
    const std::size_t parent = (index - 1) / 2;
    if (!earlier(moving, entries_[parent])) break;
    place(index, entries_[parent]);
    index = parent;
  }
  place(index, moving);
}

void TimerHeap::sift_down(std::size_t index) noexcept {
  TimerEntry* moving = entries_[index];
  const std::size_t count = entries_.size();
  for (;;) {
    std::size_t child = 2 * index + 1;
    if (child >= count) break;
    if (child + 1 < count && earlier(entries_[child + 1], entries_[child])) ++child;
    if (!earlier(entries_[child], moving)) break;
    place(index, entries_[child]);
    index = child;
  }
  place(index, moving);
}

}  // namespace tyvo::rt::detail
